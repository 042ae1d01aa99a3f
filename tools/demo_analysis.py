"""What the demo says about the input analyser's record (ch:ID:ts:PIPE):
the measured rate now and then, and every rise of the continuity errors."""

import json

RATE_EVERY = 5   # records between two notes of the measured rate


class AnalysisNotes:
    def __init__(self, client, ch_uid: str, pipe_name: str):
        self.client = client
        self.key = f"ch:{ch_uid}:ts:{pipe_name}"
        self.last_time = None
        self.errors = 0
        self.records = 0

    def read(self) -> list[str]:
        """Lines for the record's news since the last call."""
        try:
            record = json.loads(self.client.get(self.key) or "null")
        except ValueError:
            return []
        if not isinstance(record, dict) or record.get("time") == self.last_time:
            return []
        self.last_time = record.get("time")
        self.records += 1
        lines = []
        errors = record.get("continuity_errors", 0)
        if errors > self.errors:
            lines.append(f"analyser: +{errors - self.errors} continuity errors ({errors} in all; "
                         f"{record.get('lost_packets', 0)} TS packets lost), measured {record['bitrate']:,} b/s")
            self.errors = errors
        elif self.records % RATE_EVERY == 1:
            lines.append(f"analyser: measured {record['bitrate']:,} b/s, {record.get('packets', 0):,} TS packets, "
                         f"{errors} continuity errors, delay factor {record.get('delay_factor_ms')} ms")
        return lines

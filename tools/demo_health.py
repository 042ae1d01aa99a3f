"""What `avwatch serve` says about the demo's pipe, read from its /api/status:
both sides' health states and the state changes it logged since the last look."""

import json
import urllib.error
import urllib.request

SIDES = ("input", "output")


class Health:
    def __init__(self, base_url: str, channel: str, pipe: str):
        self.status_url = base_url.rstrip("/") + "/api/status"
        self.channel = channel
        self.pipe = pipe
        self.seen: set[str] = set()
        self.states: dict[str, tuple[str, str]] = {}   # side -> (state, reason)

    def read(self) -> list[str]:
        """Refreshes `states`; returns the new state changes, oldest first,
        as lines of text.  Nothing changes while serve does not answer."""
        try:
            with urllib.request.urlopen(self.status_url, timeout=1) as answer:
                status = json.load(answer)
        except (OSError, ValueError, urllib.error.URLError):
            return []
        for channel in status.get("channels", []):
            if channel.get("channel") != self.channel:
                continue
            for pipe in channel.get("pipes", []):
                if pipe.get("pipe") == self.pipe:
                    self.states = {side: (pipe[side]["state"], pipe[side]["reason"]) for side in SIDES}
        changes = []
        for event in reversed(status.get("events", [])):   # the API lists the newest first
            identity = json.dumps(event, sort_keys=True)
            if identity in self.seen or (event.get("channel"), event.get("pipe")) != (self.channel, self.pipe):
                continue
            self.seen.add(identity)
            changes.append(f"avwatch serve: {event['side']} {event.get('from') or 'new'} -> {event['to']}"
                           + (f" ({event['reason']})" if event.get("reason") else ""))
        return changes

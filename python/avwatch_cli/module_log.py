"""Words for the one error line of the extension module that reads as a
fault of its own: the output monitor reading a deleted channel record logs
json's complaint about None."""

import json
import logging

PREFIX = "Error in ffmpeg_output_bitrate: "


def json_complaint_about_none() -> str:
    try:
        json.loads(None)  # type: ignore[arg-type]
    except TypeError as error:
        return str(error)
    return ""


class DeletedChannelWording(logging.Filter):
    """Rewrites that line as what it means.  The channel record is the only
    value an output pass decodes, so the complaint can mean nothing else."""

    def __init__(self, ch_uid: str):
        super().__init__()
        self.plain = PREFIX + json_complaint_about_none()
        self.worded = f"{PREFIX}no channel record ch:{ch_uid} to read (deleted?)"

    def filter(self, record: logging.LogRecord) -> bool:
        if record.msg == self.plain and not record.args:
            record.msg = self.worded
        return True


def word_module_errors(ch_uid: str) -> None:
    # The module logs through the root logger, whose own filters see its records.
    logging.getLogger().addFilter(DeletedChannelWording(ch_uid))

"""Continuous analysis of a channel's input transport stream: the
`avwatch analyze` command, the per-second records published in Redis, and
the thread `avwatch monitor` runs for its pipe."""

"""The analysers beside the module's monitors: continuous analysis of a
channel's input transport stream and checks of its HLS output, as the
`avwatch analyze` command, the records published in Redis, and the threads
`avwatch monitor` runs for its pipe."""

"""The analysers that run beside the module's monitors (`avwatch analyze`,
and the records `avwatch monitor` publishes for them)."""

"""`avwatch serve`: health, metrics and a live page from the monitors' records."""

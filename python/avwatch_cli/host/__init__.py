"""`avwatch host`: every channel pipe of a host in one process."""

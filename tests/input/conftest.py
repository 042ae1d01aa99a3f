# The fake probe and clock, as fixtures for the tests here.
from store.harness import clock, probe  # noqa: F401

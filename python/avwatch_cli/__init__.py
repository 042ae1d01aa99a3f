"""The avwatch command-line tool: operator glue over the avwatch extension
module.  Everything it measures is measured by the module itself."""

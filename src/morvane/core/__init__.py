"""Core services of morvane: lazy imports, the module importer, the project database and the PDK and model layer."""

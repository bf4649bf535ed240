"""morvane: PDK, cell and model registration for integrated-circuit layout projects."""

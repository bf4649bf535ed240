"""demo: a small photonic layout project (waveguides, splitters, an MZI with pads)."""

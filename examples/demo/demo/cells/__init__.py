"""Building blocks: waveguides and splitters."""

"""Circuits built from the building blocks."""

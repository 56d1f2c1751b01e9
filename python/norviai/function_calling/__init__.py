"""Relevant-table picker driven by a forced function call."""

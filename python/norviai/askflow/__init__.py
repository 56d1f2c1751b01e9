"""The question graph, its steps, prompts and database wrapper."""

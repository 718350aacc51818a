"""TessaraDB — embedded vector + graph memory for AI agents."""

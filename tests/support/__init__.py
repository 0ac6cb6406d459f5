"""Shared test support: synthetic frames, the real market data loader, network guard."""

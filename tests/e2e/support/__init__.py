"""Shared fixtures of the end-to-end tests."""

"""Placeholder replaced below."""

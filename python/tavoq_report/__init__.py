"""Reporting helpers for tavoq results: statistics and plots of unavailability curves."""

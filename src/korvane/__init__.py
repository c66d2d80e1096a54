"""Korvane: the static-analysis engine for Django projects and its small host."""

"""Checker plug-ins of the analysis (native extension modules) and the settings checker."""

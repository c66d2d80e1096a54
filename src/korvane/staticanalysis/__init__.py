"""Static analysis and automatic fixes for Django projects.

The analysis modules of this package are native extension modules; the plain Python
modules beside them stand in for the host platform's own modules of the same names.
"""

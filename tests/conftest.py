import os
import tempfile

# pylint keeps its statistics under PYLINTHOME; keep them out of the user's home.
os.environ.setdefault("PYLINTHOME", tempfile.mkdtemp(prefix="korvane-pylinthome-"))

import os
import sys

# The model and market generators live beside the tests.
sys.path.insert(0, os.path.dirname(__file__))

"""nivra: a toolkit for spiking neural networks."""
# A source checkout on sys.path (python run from the repository root) must still
# find the compiled modules of the installed package, so both copies of the
# package directory are searched.
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)

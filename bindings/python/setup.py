# For tools that build with setuptools itself (Debian's pybuild): the
# metadata and the package list are read from pyproject.toml.
from setuptools import setup

setup()

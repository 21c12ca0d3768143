"""smetp-lab: judges the results of smetp and smetp-batch."""
__version__ = "0.1.0"

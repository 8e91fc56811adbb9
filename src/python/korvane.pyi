__version__: str
__status__: str

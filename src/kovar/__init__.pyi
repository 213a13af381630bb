from kovar._version import __version__ as __version__
from kovar.bank import PIDBank as PIDBank

__all__ = ["PIDBank"]

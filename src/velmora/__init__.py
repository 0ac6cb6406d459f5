"""velmora: statistical-arbitrage pairs trading with a C++ core.

The library lives in its submodules, each importable on its own:

- ``velmora.utils.inference.inference`` (``Inference``)
- ``velmora.utils.filters.tickersieve`` (``Tickersieve``)
- ``velmora.utils.results.scorebook`` (``Scorebook``)
- ``velmora.factors.technical.cointpairs`` (``PairsTradingSerialCointegrationFactor``)
- ``velmora.vodED.signalsmith`` (``Signalsmith``, ``SampleWeights``)
- ``velmora.vodED.tradegate`` (``OptimalEntryClassifier``)
- ``velmora.connections.binance.coinfeed`` (``Coinfeed``)
- ``velmora.connections.yahoo_finance.indexfeed`` (``Indexfeed``)
"""

from importlib import metadata as _metadata

try:
    __version__ = _metadata.version("velmora")
except _metadata.PackageNotFoundError:  # running from a source tree
    __version__ = "0.0.0"

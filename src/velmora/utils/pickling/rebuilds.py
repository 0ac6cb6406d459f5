"""Rebuild functions that unpickling of velmora objects calls.

Objects that travel to worker processes (the pairs-trading factor, the optimal-entry
classifier and the crypto feed) reduce themselves to one of these functions and their
constructor values. A rebuilt object is freshly constructed: it carries no fitted state.
The classes are imported at call time so that importing this module stays cheap and never
drags in every extension.
"""

from importlib import import_module


def _construct(module_path, class_name, args, kwargs):
    cls = getattr(import_module(module_path), class_name)
    return cls(*args, **kwargs)


def rebuild_pairs_trading_serial_cointegration_factor(*args, **kwargs):
    """Constructs a PairsTradingSerialCointegrationFactor from its constructor values.

    Args:
        *args: the constructor's positional values, in its parameter order.
        **kwargs: constructor values by keyword.

    Returns:
        PairsTradingSerialCointegrationFactor: a new factor with no fitted state.
    """
    return _construct("velmora.factors.technical.cointpairs",
                      "PairsTradingSerialCointegrationFactor", args, kwargs)


def rebuild_optimal_entry_classifier(*args, **kwargs):
    """Constructs an OptimalEntryClassifier from its constructor values.

    Args:
        *args: the constructor's positional values, in its parameter order.
        **kwargs: constructor values by keyword.

    Returns:
        OptimalEntryClassifier: a new classifier with no model loaded.
    """
    return _construct("velmora.vodED.tradegate", "OptimalEntryClassifier", args, kwargs)


def rebuild_coinfeed(*args, **kwargs):
    """Constructs a Coinfeed from its constructor values.

    Args:
        *args: the constructor's positional values (key, then secret).
        **kwargs: constructor values by keyword.

    Returns:
        Coinfeed: a new feed with its own exchange client.
    """
    return _construct("velmora.connections.binance.coinfeed", "Coinfeed", args, kwargs)

import pandas as pd

class Inference:
    """Reads which securities an OHCLV frame holds."""

    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def infer_securities_from_OHCLV_df(self, clean_OHCLV_dataframe: pd.DataFrame, /) -> list[str]: ...

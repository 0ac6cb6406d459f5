import pandas as pd

class Tickersieve:
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def filter_without_lookahead(
        self,
        clean_OHCLV_dataframe: pd.DataFrame,
        securities: list[str] | None = ...,
        pct_of_filtration: float = 0.1,
        number_of_securities_to_keep: int = 10,
    ) -> pd.DataFrame: ...

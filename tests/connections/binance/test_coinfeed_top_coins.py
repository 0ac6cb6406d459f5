"""The top-coins list, read from a coin-ranking page served on 127.0.0.1.

The page is hand-made in the ranking site's table structure: per coin a row whose fifth
cell holds the price span carrying data-coin-symbol. Decoys catch a wrong cell (the buy
cell and the 1h cell carry the attribute too) and a wrong table (a trending table after the
ranking).
"""

import pytest
import requests

from velmora.connections.binance import coinfeed
from velmora.connections.binance.coinfeed import Coinfeed

HEAD = """<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">
<title>Cryptocurrency Prices, Charts, and Crypto Market Cap</title></head><body>
<div class="container"><table class="sort table mb-0 text-sm table-scrollable">
<thead><tr><th></th><th>#</th><th>Coin</th><th></th><th>Price</th><th>1h</th><th>24h</th>
<th>Market Cap</th></tr></thead>
<tbody>
"""

TAIL = """</tbody></table></div>
<div class="trending"><table><tbody>
<tr><td>1</td><td>x</td><td>x</td><td>x</td><td><span data-coin-symbol="pepe">$0.00001</span></td></tr>
</tbody></table></div></body></html>
"""


def row(rank, symbol, attribute_last=False):
    price_attrs = [f'data-coin-id="{rank}"', f'data-coin-symbol="{symbol}"', 'data-target="price.price"']
    if attribute_last:
        price_attrs.append(price_attrs.pop(1))
    return f"""<tr>
<td class="td-star"><i class="far fa-star"></i></td>
<td class="td-rank" data-sort="{rank}">{rank}</td>
<td class="td-coin"><a href="/en/coins/{symbol}"><span class="tw-hidden">{symbol.title()}</span>
<span class="d-lg-none">{symbol.upper()}</span></a></td>
<td class="td-buy"><span data-coin-symbol="buy-{symbol}"><a href="#">Buy</a></span></td>
<td class="td-price price" data-sort="{rank * 1.5}"><span class="no-wrap" {" ".join(price_attrs)}>${rank * 1.5:,.2f}</span></td>
<td class="td-change1h"><span data-coin-symbol="{symbol}" data-show-solid-arrow="false">0.1%</span></td>
<td class="td-change24h"><span>1.2%</span></td>
<td class="td-market_cap"><span>$1,000,000</span></td>
</tr>
"""


# Stable coins at ranks 3 and 8 (one written in lower case) and 14; btc twice; the symbol
# attribute last in its tag at rank 5.
RANKING = ["btc", "eth", "USDT", "bnb", "sol", "xrp", "doge", "usdc", "ada", "trx", "link", "btc", "avax", "DAI", "dot"]
PAGE = HEAD + "".join(row(i + 1, s, attribute_last=(s == "sol")) for i, s in enumerate(RANKING)) + TAIL
NON_STABLE = ["BTCUSDT", "ETHUSDT", "BNBUSDT", "SOLUSDT", "XRPUSDT", "DOGEUSDT", "ADAUSDT", "TRXUSDT",
              "LINKUSDT", "BTCUSDT", "AVAXUSDT", "DOTUSDT"]


@pytest.fixture
def feed(exchange):
    exchange.page = PAGE
    return Coinfeed("k", "s")


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"x_limit": 10}, NON_STABLE[:10]),  # ranks 1, 2, 4, 5, 6, 7, 9, 10, 11, 12
        ({"x_limit": 0}, []),
        ({"x_limit": -2}, NON_STABLE[:-2]),
        ({"x_limit": 100}, NON_STABLE),
        ({}, NON_STABLE),
    ],
)
def test_top_coins_skip_stable_coins_before_the_cut(exchange, feed, kwargs, expected):
    assert feed.scrape_top_x_coins_from_coingecko(**kwargs) == expected


def test_the_page_is_fetched_with_an_identifying_user_agent(exchange, feed):
    assert feed.scrape_top_x_coins_from_coingecko(3) == NON_STABLE[:3]
    (_, _, headers), = [r for r in exchange.requests if r[0] == "/"]
    assert headers["User-Agent"] == coinfeed.USER_AGENT
    assert "python-requests" not in headers["User-Agent"]


def page_with_price_cell(cell):
    first = row(1, "btc")
    return HEAD + first + f"<tr><td></td><td>2</td><td>x</td><td>x</td><td>{cell}</td></tr>" + TAIL


@pytest.mark.parametrize(
    "cell, symbol",
    [
        # the attribute on an element inside the cell's first span
        ('<span class="wrap"><b>$3,000</b><span data-coin-symbol="eth">$3,000</span></span>', "ETHUSDT"),
        # the span's own attribute wins over one further in
        ('<span data-coin-symbol="sol"><span data-coin-symbol="eth">$3,000</span></span>', "SOLUSDT"),
        # a value with a blank is cut there
        ('<span data-coin-symbol="ada x">$1</span>', "ADAUSDT"),
    ],
)
def test_symbol_is_the_attribute_value(exchange, feed, cell, symbol):
    exchange.page = page_with_price_cell(cell)
    assert feed.scrape_top_x_coins_from_coingecko() == ["BTCUSDT", symbol]


@pytest.mark.parametrize(
    "page",
    [
        "<html><body><p>Too many requests</p></body></html>",
        HEAD + row(1, "btc") + "<tr><td>2</td><td>eth</td><td></td><td></td></tr>" + TAIL,
        HEAD + row(1, "btc") + "<tr><td></td><td>2</td><td>eth</td><td></td><td>$3,000</td></tr>" + TAIL,
        HEAD + row(1, "btc") + row(2, "eth").replace('data-coin-symbol="eth" data-target', "data-target") + TAIL,
    ],
    ids=["no table body", "four cells", "no span in the fifth cell", "no symbol attribute"],
)
def test_a_malformed_page_raises_index_error(exchange, feed, page):
    exchange.page = page
    with pytest.raises(IndexError):
        feed.scrape_top_x_coins_from_coingecko()


def test_fetch_failures_pass_to_the_caller(exchange, feed, monkeypatch, refused_address):
    monkeypatch.setattr(coinfeed, "COINGECKO_URL", refused_address + "/")
    with pytest.raises(requests.exceptions.ConnectionError):
        feed.scrape_top_x_coins_from_coingecko()

    monkeypatch.setattr(coinfeed, "COINGECKO_URL", exchange.base + "/stall")
    monkeypatch.setattr(coinfeed, "PAGE_TIMEOUT", 0.2)
    with pytest.raises(requests.exceptions.Timeout):
        feed.scrape_top_x_coins_from_coingecko()


@pytest.mark.parametrize("x_limit", [2.5, "3", None, 2**63])
def test_x_limit_must_be_a_64_bit_integer(exchange, feed, x_limit):
    with pytest.raises(TypeError):
        feed.scrape_top_x_coins_from_coingecko(x_limit)
    assert [r for r in exchange.requests if r[0] == "/"] == []

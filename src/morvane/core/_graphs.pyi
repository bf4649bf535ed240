"""The call graph's recycled graph."""

from typing import Any

import networkx as nx

def take(nodes: dict[str, tuple[str, str]], callees: dict[str, list[str]], cls: type, view_class: type) -> nx.DiGraph[Any] | None: ...
def keep(G: nx.DiGraph[Any], nodes: dict[str, tuple[str, str]], callees: dict[str, list[str]]) -> None: ...
def since_taken(G: nx.DiGraph[Any]) -> tuple[int, int] | None: ...
_C_API: object

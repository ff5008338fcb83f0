"""Checks a built site: every class of the stub has its section in the API
reference, and no example there reads as a quotation. Markdown takes the
``>>>`` of an example for three quote marks; an example must be code.

    python3 tools/check_site.py site
"""

import ast
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def problems(site: Path) -> list:
    found = []
    api = site / "api"
    pages = {page: page.read_text(encoding="utf-8") for page in [api / "index.html"]}
    pages.update((page, page.read_text(encoding="utf-8")) for page in api.glob("*/index.html"))
    stub = ast.parse((ROOT / "zul_mew.pyi").read_text(encoding="utf-8"))
    classes = [node.name for node in stub.body if isinstance(node, ast.ClassDef)]
    shown = "".join(pages.values())
    found += [f"no section for {name}" for name in classes if f'id="zul_mew.{name}"' not in shown]
    for page, html in pages.items():
        where = page.relative_to(site)
        for quote in re.findall(r"<blockquote>(.*?)</blockquote>", html, re.S):
            found.append(f"{where}: a quotation where an example belongs: {quote[:60]!r}")
        # An example's prompt shows only inside code.
        for text in re.split(r"<pre.*?</pre>|<code.*?</code>", html, flags=re.S):
            if "&gt;&gt;&gt;" in text:
                found.append(f"{where}: an example outside a code block")
                break
    return found


if __name__ == "__main__":
    found = problems(Path(sys.argv[1]))
    if found:
        sys.exit("\n".join(found))

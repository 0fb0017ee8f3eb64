#!/usr/bin/env python3
"""Writes examples/demo_cassette.jsonl: the answers of scripts/demo.sh's question, recorded
through `norvex ask --record` from a scripted stand-in for the chat service on 127.0.0.1.

The answers are the ones a capable model gives (real SQL for the sample database, analysis
code that draws the bar chart from the rows); recording them through the real pipeline
stores the exact prompts, so the replay checks every request the demo makes.

Usage: examples/record_demo_cassette.py BUILD_DIR
"""
import http.server
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import threading

QUESTION = ("What are the five best-selling products by quantity? "
            "Show them as a bar chart.")
SAVE = "/tmp/norvex-demo-recording/media"  # written as {save_path} in the cassette
CHART = SAVE + "/best_sellers.png"

SQL = """SELECT p.name AS product, SUM(oi.quantity) AS units_sold
FROM order_items AS oi
JOIN orders AS o ON o.order_id = oi.order_id
JOIN products AS p ON p.product_id = oi.product_id
WHERE o.status <> 'cancelled'
GROUP BY p.product_id, p.name
ORDER BY units_sold DESC
LIMIT 5"""

CODE = """import matplotlib
matplotlib.use('agg')
import matplotlib.pyplot as plt

rows = [('House Blend Coffee 250g', 766), ('Paper Filters (100)', 638),
        ('Colombia Supremo 250g', 593), ('Almond Biscotti', 525),
        ('Earl Grey Tea 100g', 503)]
products = [name for name, _ in rows]
units = [count for _, count in rows]

fig, ax = plt.subplots(figsize=(8, 4.5))
bars = ax.bar(range(len(products)), units, color='#3b6ea5')
ax.set_xticks(range(len(products)))
ax.set_xticklabels(products, rotation=20, ha='right')
ax.bar_label(bars)
ax.set_ylabel('Units sold')
ax.set_title('Five best-selling products by quantity (cancelled orders excluded)')
fig.tight_layout()
fig.savefig(r'""" + CHART + """', dpi=100)
print(f'Best seller: {products[0]} with {units[0]} units')
"""

ANSWER = ("The five best-selling products by quantity, counting every order that was not "
          "cancelled, are House Blend Coffee 250g (766 units), Paper Filters (100) (638), "
          "Colombia Supremo 250g (593), Almond Biscotti (525) and Earl Grey Tea 100g (503). "
          "House Blend Coffee leads by a clear margin. The bar chart is saved at " + CHART + ".")

RECORDS = {
    "RelevantTablesOutput": {"relevant_tables": ["products", "order_items", "orders"]},
    "SQLQueryInput": {"sql_query": SQL},
    "PythonCodeInput": {"code": CODE},
    "GenerationOutput": {"image_path": CHART, "final_response": ANSWER},
}


def completion(message, prompt_chars, answer_chars):
    return {"id": "chatcmpl-demo", "object": "chat.completion", "model": "demo",
            "choices": [{"index": 0, "message": message, "finish_reason": "stop"}],
            "usage": {"prompt_tokens": prompt_chars // 4,
                      "completion_tokens": max(1, answer_chars // 4)}}


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        prompt_chars = sum(len(m.get("content") or "") for m in body["messages"])
        record = (body.get("tool_choice") or {}).get("function", {}).get("name")
        if record:
            arguments = json.dumps(RECORDS[record])
            message = {"role": "assistant", "content": None, "tool_calls": [
                {"id": "call_demo", "type": "function",
                 "function": {"name": record, "arguments": arguments}}]}
            answer = completion(message, prompt_chars, len(arguments))
        else:  # the query review: the query is fine as it is
            text = "```sql\n" + SQL + "\n```"
            answer = completion({"role": "assistant", "content": text}, prompt_chars, len(text))
        data = json.dumps(answer).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


def main():
    build = pathlib.Path(sys.argv[1]).resolve()
    root = pathlib.Path(__file__).resolve().parent.parent
    cassette = root / "examples" / "demo_cassette.jsonl"
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}/v1"
    with tempfile.TemporaryDirectory() as tmp:
        config = pathlib.Path(tmp) / "models.json"
        config.write_text(json.dumps({"models": [
            {"model": "GPT-3.5", "provider": "openai", "deployment_name": "demo-small",
             "azure_endpoint": base, "api_key": "none"},
            {"model": "GPT-4", "provider": "openai", "deployment_name": "demo-large",
             "azure_endpoint": base, "api_key": "none"}]}))
        cassette.unlink(missing_ok=True)
        env = dict(os.environ, NORVEX_MODEL_CONFIG=str(config), NORVEX_DOTENV=os.devnull)
        subprocess.run([str(build / "src" / "cli" / "norvex"), "ask", QUESTION,
                        "--db", f"sqlite:///{build / 'sample_store.db'}",
                        "--media", SAVE, "--record", str(cassette)], check=True, env=env)
    server.shutdown()


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""A LAN client that sends shared-document patches over the console's WebSocket.

usage: lan_patch_client.py PORT TOKEN PATCHES_FILE
PATCHES_FILE holds a JSON array of "uiPatch" params. The client authenticates, waits for a state
push, then sends each patch in turn and waits for its reply and for the next state push. Prints
one JSON object per patch ({"index", "reply", "stateBytes"}: the size of the first state message
after the reply) and a last line {"done": true}.
"""
import asyncio
import json
import sys

import websockets


async def next_message(ws, want):
    while True:
        raw = await asyncio.wait_for(ws.recv(), 20)
        message = json.loads(raw)
        if want(message):
            return raw, message


async def run(port, token, patches):
    origin = "http://127.0.0.1:%d" % port
    async with websockets.connect("ws://127.0.0.1:%d/api/ruvi" % port, origin=origin,
                                  max_size=4 * 1024 * 1024, ping_interval=None) as ws:
        await ws.send(json.dumps({"type": "auth", "token": token}))
        await next_message(ws, lambda m: m.get("type") == "authenticated")
        await next_message(ws, lambda m: m.get("type") == "state")
        for index, params in enumerate(patches):
            await ws.send(json.dumps({"type": "rpc", "id": 100 + index, "method": "uiPatch",
                                      "params": params}))
            _, reply = await next_message(
                ws, lambda m: m.get("type") == "reply" and m.get("id") == 100 + index)
            raw, _ = await next_message(ws, lambda m: m.get("type") == "state")
            print(json.dumps({"index": index, "reply": reply, "stateBytes": len(raw)}),
                  flush=True)
    print(json.dumps({"done": True}), flush=True)


def main():
    port, token, path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    with open(path, encoding="utf-8") as f:
        patches = json.load(f)
    asyncio.run(run(port, token, patches))


if __name__ == "__main__":
    main()

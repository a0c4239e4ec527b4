#!/usr/bin/python3
"""A real WebSocket client for the remote server tests.

usage: ws_client.py PORT TOKEN scenario
scenarios:
  session  authenticate, wait for a state push, call an allowed and a refused method, close
  clients N SECONDS  N authenticated clients counting state pushes (prints pushes per client)
Prints one JSON object per line.
"""
import asyncio
import json
import sys
import time

import websockets


async def connect(port):
    origin = "http://127.0.0.1:%d" % port
    return await websockets.connect("ws://127.0.0.1:%d/api/ruvi" % port, origin=origin,
                                    max_size=4 * 1024 * 1024, ping_interval=None)


async def next_of_type(ws, kind):
    while True:
        message = json.loads(await asyncio.wait_for(ws.recv(), 10))
        if message.get("type") == kind:
            return message


async def session(port, token):
    ws = await connect(port)
    await ws.send(json.dumps({"type": "auth", "token": token}))
    print(json.dumps({"step": "auth", "message": await next_of_type(ws, "authenticated")}))
    state = await next_of_type(ws, "state")
    print(json.dumps({"step": "state", "message": state}))
    await ws.send(json.dumps({"type": "rpc", "id": 7, "method": "status", "params": {}}))
    print(json.dumps({"step": "allowed", "message": await next_of_type(ws, "reply")}))
    await ws.send(json.dumps({"type": "rpc", "id": 8, "method": "saveSession"}))
    print(json.dumps({"step": "refused", "message": await next_of_type(ws, "reply")}))
    pong = await ws.ping(b"abc")
    await asyncio.wait_for(pong, 10)
    print(json.dumps({"step": "ping"}))
    await ws.close(1000, "done")
    print(json.dumps({"step": "closed", "code": ws.close_code}))


async def count_states(ws, seconds, counts, index):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            raw = await asyncio.wait_for(ws.recv(), max(0.01, end - time.monotonic()))
        except asyncio.TimeoutError:
            break
        if json.loads(raw).get("type") == "state":
            counts[index] += 1
    await ws.close()


async def clients(port, token, n, seconds):
    # Connect and authenticate one at a time: the server admits only a few sessions that have
    # not authenticated yet.
    sockets = []
    for _ in range(n):
        ws = await connect(port)
        await ws.send(json.dumps({"type": "auth", "token": token}))
        await next_of_type(ws, "authenticated")
        sockets.append(ws)
    print(json.dumps({"step": "connected"}), flush=True)
    counts = [0] * n
    await asyncio.gather(*(count_states(ws, seconds, counts, i) for i, ws in enumerate(sockets)))
    print(json.dumps({"step": "clients", "counts": counts, "seconds": seconds}))


def main():
    port, token, scenario = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    if scenario == "session":
        asyncio.run(session(port, token))
    elif scenario == "clients":
        asyncio.run(clients(port, token, int(sys.argv[4]), float(sys.argv[5])))


if __name__ == "__main__":
    main()

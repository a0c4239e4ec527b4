#!/usr/bin/python3
"""LAN load on a running server: C authenticated WebSocket clients receive the state pushes, the
first F of them move one strip's fader each 20 times a second with the page's fader request
(setParameter with its uiPatch), for S seconds. Prints one JSON object with the fader reply
latencies (ms) and, per client, the pushes per second and the longest pause between two pushes.

usage: lan_load.py PORT PASSWORD --clients C --faders F --seconds S --strips ID,ID,...
Used by bench/lan-latency and scripts/soak; also importable (run_load, login, percentiles).
"""
import argparse
import asyncio
import json
import math
import time
import urllib.request

import websockets

FADER_HZ = 20


def login(port, password):
    request = urllib.request.Request(
        "http://127.0.0.1:%d/api/login" % port, data=json.dumps({"password": password}).encode(),
        headers={"Content-Type": "application/json"}, method="POST")
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with opener.open(request, timeout=10) as reply:
        return json.load(reply)["token"]


def percentiles(values, points=(50, 90, 99, 99.9)):
    """Nearest-rank percentiles plus the maximum; None when there is nothing to rank."""
    if not values:
        return None
    ordered = sorted(values)
    result = {}
    for p in points:
        rank = max(1, math.ceil(p / 100 * len(ordered)))
        result["p%g" % p] = round(ordered[rank - 1], 3)
    result["max"] = round(ordered[-1], 3)
    return result


class Client:
    def __init__(self, index):
        self.index = index
        self.ws = None
        self.push_times = []
        self.latencies = []
        self.sent = {}
        self.errors = 0
        self.last_state = None
        self.dropped = None


async def connect(port, token, client):
    ws = await websockets.connect("ws://127.0.0.1:%d/api/ruvi" % port,
                                  origin="http://127.0.0.1:%d" % port,
                                  max_size=4 * 1024 * 1024, ping_interval=None,
                                  compression=None)
    await ws.send(json.dumps({"type": "auth", "token": token}))
    while True:
        message = json.loads(await asyncio.wait_for(ws.recv(), 10))
        if message.get("type") == "authenticated":
            break
    client.ws = ws


async def receive(client, end):
    ws = client.ws
    try:
        while True:
            left = end + 2 - time.monotonic()
            if left <= 0:
                break
            try:
                raw = await asyncio.wait_for(ws.recv(), left)
            except asyncio.TimeoutError:
                break
            now = time.monotonic()
            # The state message reads {"state":...,"type":"state"}: no need to parse it here.
            if raw.startswith('{"state"'):
                if now <= end:
                    client.push_times.append(now)
                client.last_state = raw
                continue
            message = json.loads(raw)
            if message.get("type") != "reply":
                continue
            sent = client.sent.pop(message.get("id"), None)
            if sent is None:
                continue
            if message.get("ok") is not True:
                client.errors += 1
            client.latencies.append((now - sent) * 1000.0)
    except websockets.ConnectionClosed as closed:
        client.dropped = "closed %s" % closed.code


async def move_fader(client, strip_id, end):
    next_id = 1
    period = 1.0 / FADER_HZ
    start = time.monotonic()
    tick = 0
    while True:
        at = start + tick * period
        if at >= end:
            break
        delay = at - time.monotonic()
        if delay > 0:
            await asyncio.sleep(delay)
        level = -30.0 + 20.0 * (0.5 + 0.5 * math.sin(tick / 10.0))
        request = {"type": "rpc", "id": next_id, "method": "setParameter",
                   "params": {"nodeId": strip_id, "key": "gainDb", "value": level,
                              "uiPatch": {"entityId": strip_id, "key": "level", "value": level}}}
        client.sent[next_id] = time.monotonic()
        try:
            await client.ws.send(json.dumps(request))
        except websockets.ConnectionClosed:
            return
        next_id += 1
        tick += 1


def push_figures(client, start, end):
    times = [start] + client.push_times
    gaps = [(b - a) * 1000.0 for a, b in zip(times, times[1:])]
    return {"pushesPerSecond": round(len(client.push_times) / (end - start), 2),
            "longestPauseMs": round(max(gaps), 1) if gaps else None}


async def run_load(port, token, clients, faders, seconds, strips, on_tick=None):
    """Runs the load; on_tick(latest state text) is called about every 5 s while it runs."""
    group = [Client(i) for i in range(clients)]
    # One at a time: the server admits only a few sessions that have not authenticated yet.
    for client in group:
        await connect(port, token, client)
    start = time.monotonic()
    end = start + seconds
    tasks = [asyncio.create_task(receive(c, end)) for c in group]
    tasks += [asyncio.create_task(move_fader(c, strips[c.index % len(strips)], end))
              for c in group[:faders]]
    if on_tick is not None:
        async def ticker():
            while time.monotonic() < end:
                await asyncio.sleep(min(5.0, max(0.0, end - time.monotonic())))
                latest = next((c.last_state for c in group if c.last_state), None)
                on_tick(latest)
        tasks.append(asyncio.create_task(ticker()))
    await asyncio.gather(*tasks)
    for client in group:
        await client.ws.close()
    latencies = [value for c in group for value in c.latencies]
    lost = sum(len(c.sent) for c in group)
    pushes = [push_figures(c, start, end) for c in group]
    return {"seconds": seconds, "clients": clients, "faders": faders,
            "requests": len(latencies), "unanswered": lost,
            "failed": sum(c.errors for c in group),
            "dropped": [c.dropped for c in group if c.dropped],
            "latencyMs": percentiles(latencies),
            "pushes": pushes,
            "pushesPerSecond": {"min": min((p["pushesPerSecond"] for p in pushes), default=0),
                                "max": max((p["pushesPerSecond"] for p in pushes), default=0)},
            "longestPauseMs": max(((p["longestPauseMs"] or 0) for p in pushes), default=0)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("password")
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--faders", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--strips", default="in1")
    args = parser.parse_args()
    token = login(args.port, args.password)
    result = asyncio.run(run_load(args.port, token, args.clients, args.faders, args.seconds,
                                  args.strips.split(",")))
    print(json.dumps(result))


if __name__ == "__main__":
    main()

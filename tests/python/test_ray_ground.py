"""A Ray cluster of three real nodes on this machine, alone on loopback.

What the arena's cluster runner will stand on: the nodes start with nothing
reaching past loopback, an actor pinned to a node runs there, a node that
dies under a running call fails that call with an actor error (and once the
head has marked the node dead, every later call says that the node died), the
other nodes go on, and shutting the cluster down leaves no process behind.

The cluster runs in a process of its own inside scripts/in_netns.sh (network
and PID namespaces of its own, a private /tmp), this file being that process's
program; the tests read the JSON it prints. Starting Ray takes seconds per
node on a busy machine, so the three tests share one run.
"""

from __future__ import annotations

import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import pytest

ROOT = Path(__file__).resolve().parents[2]
RUNNER = ROOT / "scripts" / "in_netns.sh"
MIB = 1024 * 1024

pytestmark = [
    # Ray's start-up and a node's death detection on two loaded cores.
    pytest.mark.timeout(300),
    pytest.mark.skipif(importlib.util.find_spec("ray") is None, reason="ray is not installed (pip install '.[ray]')"),
    pytest.mark.skipif(
        os.environ.get("KESTREL_TEST_LOOP") == "uvloop",
        reason="runs no event loop in this process: the asyncio run covers it",
    ),
]


@pytest.fixture(scope="module")
def cluster_run(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Any]:
    probe = subprocess.run(["bash", str(RUNNER), "true"], capture_output=True, text=True, timeout=60)
    if probe.returncode == 125:
        pytest.skip(probe.stderr.strip() or "cannot make network and PID namespaces here")
    assert probe.returncode == 0, probe.stderr
    env = dict(os.environ, RAY_USAGE_STATS_ENABLED="0", RAY_AUTH_MODE="disabled")
    done = subprocess.run(
        ["bash", str(RUNNER), "--private-tmp", sys.executable, str(Path(__file__).resolve())],
        capture_output=True,
        text=True,
        timeout=280,
        env=env,
    )
    log = tmp_path_factory.mktemp("ray") / "cluster.log"
    log.write_text(done.stderr)
    assert done.returncode == 0, f"cluster run failed ({done.returncode}), its stderr in {log}:\n{done.stderr[-3000:]}"
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_three_nodes_on_loopback_one_pinned_actor_each(cluster_run: dict[str, Any]) -> None:
    assert cluster_run["node_addresses"] == ["127.0.0.1"] * 3
    assert len(set(cluster_run["node_ids"])) == 3
    # Each actor reports the node it runs on: the one it was pinned to.
    assert cluster_run["placed_on"] == cluster_run["node_ids"]


def test_a_removed_node_fails_its_running_call(cluster_run: dict[str, Any]) -> None:
    # The call was running when the node was killed. Which error comes first
    # depends on whether the driver's connection to the actor drops before
    # the head's health checks mark the node dead: ActorUnavailableError
    # ("may or may not have been executed") or ActorDiedError; both are
    # RayActorError, and a caller must treat either as the call lost.
    assert cluster_run["running_call"]["error"] in ("ActorUnavailableError", "ActorDiedError")
    assert cluster_run["running_call"]["is_actor_error"]
    later = cluster_run["later_call"]
    assert later["error"] == "ActorDiedError"
    assert "its node has died" in later["message"]
    assert cluster_run["survivors_answered"] == 2


def test_shutdown_leaves_no_process(cluster_run: dict[str, Any]) -> None:
    assert cluster_run["left_running"] == []


# The cluster's side: run inside the namespaces by the fixture above.


def _processes() -> list[tuple[int, str]]:
    """Every process of this PID namespace but this one and the namespace's first."""
    out = subprocess.run(["ps", "-eo", "pid=,args="], capture_output=True, text=True, check=True).stdout
    found = []
    for line in out.splitlines():
        pid, _, args = line.strip().partition(" ")
        if int(pid) not in (1, os.getpid()) and not args.startswith("ps "):
            found.append((int(pid), args[:120]))
    return found


def _call_error(call: Any, timeout: float) -> dict[str, Any]:
    import ray

    try:
        ray.get(call, timeout=timeout)
    except Exception as error:  # which one it is, is the finding
        return {
            "error": type(error).__name__,
            "is_actor_error": isinstance(error, ray.exceptions.RayActorError),
            "message": str(error),
        }
    return {"error": None, "is_actor_error": False, "message": ""}


def _run_cluster() -> dict[str, Any]:
    import ray
    from ray.cluster_utils import Cluster
    from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

    # Loopback named outright: left to itself a node routes towards a public
    # address to find its own, and falls back on the host name's.
    node = {"num_cpus": 1, "object_store_memory": 80 * MIB, "node_ip_address": "127.0.0.1"}
    head = dict(
        node,
        include_dashboard=False,
        # A killed node is marked dead after about five missed checks of a
        # second each (Ray's defaults take about fifteen); not shorter, or a
        # busy machine's late answers would pass for deaths.
        _system_config={"health_check_period_ms": 1000, "health_check_timeout_ms": 1000},
    )
    cluster = Cluster(initialize_head=True, head_node_args=head)
    workers = [cluster.add_node(wait=False, **node) for _ in range(2)]
    cluster.wait_for_nodes(timeout=180)
    ray.init(address=cluster.address, log_to_driver=False)

    @ray.remote(num_cpus=0, max_restarts=0, max_task_retries=0)
    class Pinned:
        def node_id(self) -> str:
            return ray.get_runtime_context().get_node_id()

        def hold(self, mark: str) -> None:
            Path(mark).touch()
            time.sleep(600)

    node_ids = [n.node_id for n in (cluster.head_node, *workers)]
    alive = {n["NodeID"]: n["NodeManagerAddress"] for n in ray.nodes() if n["Alive"]}
    actors = [
        Pinned.options(scheduling_strategy=NodeAffinitySchedulingStrategy(node_id=i, soft=False)).remote()
        for i in node_ids
    ]
    placed_on = ray.get([a.node_id.remote() for a in actors], timeout=120)

    # Kill the last node (the driver is attached to the head) while a call
    # runs on it: a crash, not a drain.
    mark = Path(tempfile.mkdtemp()) / "holding"
    running = actors[2].hold.remote(str(mark))
    deadline = time.monotonic() + 60
    while not mark.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    cluster.remove_node(workers[1], allow_graceful=False)
    running_call = _call_error(running, timeout=120)
    later_call: dict[str, Any] = {}
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        later_call = _call_error(actors[2].node_id.remote(), timeout=60)
        if later_call["error"] != "ActorUnavailableError":
            break
        time.sleep(0.5)
    survivors_answered = len(ray.get([a.node_id.remote() for a in actors[:2]], timeout=60))

    ray.shutdown()
    cluster.shutdown()
    deadline = time.monotonic() + 60
    while _processes() and time.monotonic() < deadline:
        time.sleep(0.2)
    return {
        "node_ids": node_ids,
        "node_addresses": [alive.get(i) for i in node_ids],
        "placed_on": placed_on,
        "running_call": running_call,
        "later_call": later_call,
        "survivors_answered": survivors_answered,
        "left_running": _processes(),
    }


if __name__ == "__main__":
    print(json.dumps(_run_cluster()))

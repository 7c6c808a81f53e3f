"""The module object and the surface of TicTacToeClient, without games."""

from __future__ import annotations

import asyncio
import importlib
import importlib.machinery
import importlib.util
import re
import sys
import textwrap

import pytest

import kestrel
from support.players import run_python

Client = kestrel.TicTacToeClient


class TestModule:
    def test_namespace(self) -> None:
        assert kestrel.__all__ == ["TicTacToeClient"]
        assert kestrel.__doc__ == ""
        assert not hasattr(kestrel, "PyTicTacToeState")
        namespace: dict[str, object] = {}
        exec("from kestrel import *", namespace)
        assert sorted(k for k in namespace if k != "__builtins__") == ["TicTacToeClient"]

    def test_reimport_and_reload_give_the_same_objects(self) -> None:
        module, cls = kestrel, kestrel.TicTacToeClient
        del sys.modules["kestrel"]
        again = importlib.import_module("kestrel")
        assert again is module
        assert again.TicTacToeClient is cls
        assert again.__all__ == ["TicTacToeClient"]  # the body did not run twice
        assert importlib.reload(again) is module

    def test_bridge_module_entry_point(self) -> None:
        # The shared library exports a second module: load it by that name.
        loader = importlib.machinery.ExtensionFileLoader("pyo3_asyncio", kestrel.__file__)
        spec = importlib.util.spec_from_loader("pyo3_asyncio", loader)
        assert spec is not None
        bridge = importlib.util.module_from_spec(spec)
        assert bridge.__doc__ == ""
        panic = bridge.RustPanic
        assert issubclass(panic, Exception)
        assert panic.__module__ == "pyo3_asyncio"
        assert panic.__name__ == "RustPanic"
        assert panic.__doc__ is None

    def test_second_subinterpreter_import_fails(self) -> None:
        code = textwrap.dedent(
            """
            import kestrel, _testcapi
            status = _testcapi.run_in_subinterp("import kestrel")
            print("status", status)
            import kestrel as again
            print("main still works", again is kestrel)
            """
        )
        result = run_python(code)
        if "No module named '_testcapi'" in result.stderr:
            pytest.skip("_testcapi is not available")
        assert result.returncode == 0, result.stderr
        assert "status -1" in result.stdout
        assert "main still works True" in result.stdout
        assert "ImportError: kestrel does not support sub-interpreters" in result.stderr


class TestClientClass:
    def test_class_surface(self) -> None:
        assert Client.__module__ == "builtins"
        assert Client.__name__ == Client.__qualname__ == "TicTacToeClient"
        assert Client.__doc__ == ""
        assert Client.__text_signature__ == "()"
        assert Client.connect.__doc__ is None
        assert Client.connect.__text_signature__ == "($self, url)"
        assert not hasattr(Client, "handle_turn")

    def test_instances(self) -> None:
        plain = Client()
        assert type(plain) is Client
        with pytest.raises(AttributeError):
            plain.anything = 1  # type: ignore[attr-defined]

        class Sub(Client):
            pass

        sub = Sub()
        sub.anything = 1  # subclasses get a dict the usual way
        assert isinstance(sub, Client)

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((1,), {}, "TicTacToeClient.__new__() takes 0 positional arguments but 1 was given"),
            ((), {"url": "x"}, "TicTacToeClient.__new__() got an unexpected keyword argument 'url'"),
        ],
    )
    def test_new_takes_no_arguments(self, args: tuple, kwargs: dict, message: str) -> None:
        with pytest.raises(TypeError) as error:
            Client(*args, **kwargs)
        assert str(error.value) == message

    def test_subclass_init_with_arguments_needs_new(self) -> None:
        class Named(Client):
            def __init__(self, name: str) -> None:
                self.name = name

        with pytest.raises(TypeError, match="takes 0 positional arguments"):
            Named("a")

        class NamedWithNew(Named):
            def __new__(cls, *args: object, **kwargs: object) -> NamedWithNew:
                return super().__new__(cls)

        assert NamedWithNew("a").name == "a"

    def test_connect_argument_errors(self) -> None:
        client = Client()
        with pytest.raises(TypeError) as error:
            client.connect()  # type: ignore[call-arg]
        assert str(error.value) == "TicTacToeClient.connect() missing 1 required positional argument: 'url'"
        with pytest.raises(TypeError) as error:
            client.connect(5)  # type: ignore[arg-type]
        assert str(error.value) == "argument 'url': 'int' object cannot be converted to 'PyString'"
        with pytest.raises(TypeError, match="takes 1 positional arguments but 2 were given"):
            client.connect("a", "b")  # type: ignore[call-arg]
        with pytest.raises(TypeError, match="unexpected keyword argument 'uri'"):
            client.connect(uri="a")  # type: ignore[call-arg]
        with pytest.raises(TypeError, match="got multiple values for argument 'url'"):
            client.connect("a", url="b")  # type: ignore[call-arg]
        with pytest.raises(UnicodeEncodeError):
            client.connect("ws://\udc80")
        with pytest.raises(TypeError):
            Client.connect(object(), "ws://x")  # type: ignore[arg-type]

    def test_connect_without_running_loop(self, match_server, capfd) -> None:
        with pytest.raises(RuntimeError, match="no running event loop"):
            Client().connect(match_server.url)
        # Also by keyword: the arguments are fine, the loop is missing.
        with pytest.raises(RuntimeError, match="no running event loop"):
            Client().connect(url=match_server.url)
        assert capfd.readouterr() == ("", "")
        assert match_server.join_requests == []

    def test_connect_returns_a_pending_future_of_the_running_loop(self, match_server) -> None:
        async def main() -> None:
            future = Client().connect(match_server.url)
            assert isinstance(future, asyncio.Future)
            assert future.get_loop() is asyncio.get_running_loop()
            assert not future.done()
            # The bridge's callback shows up by its bare class name.
            assert re.search(r"cb=\[<PyDoneCallback object at 0x[0-9a-f]+>\(\)\]", repr(future))
            future.cancel()

        asyncio.run(main())


RUNTIME_FAILURE = textwrap.dedent(
    """
    import asyncio, sys, kestrel

    async def main():
        for attempt in (1, 2):
            try:
                kestrel.TicTacToeClient().connect(sys.argv[1])
            except Exception as error:
                print("ordinary exception", type(error))
            except BaseException as error:
                kind = type(error)
                print("attempt", attempt, kind.__module__, kind.__name__, kind.__mro__[1].__name__)
                print("message", error.args[0])

    asyncio.run(main())
    """
)


@pytest.mark.parametrize(
    "value, expected",
    [("0", '"TOKIO_WORKER_THREADS" cannot be set to 0'), ("abc", '"TOKIO_WORKER_THREADS" must be usize, error: ')],
)
def test_runtime_creation_failure_is_a_panic_exception(match_server, value: str, expected: str) -> None:
    result = run_python(RUNTIME_FAILURE, match_server.url, env={"TOKIO_WORKER_THREADS": value})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "attempt 1 pyo3_runtime PanicException BaseException"
    assert lines[1].startswith("message " + expected)
    # Creation failed once, so every later request fails as well.
    assert lines[2] == "attempt 2 pyo3_runtime PanicException BaseException"
    assert lines[3].startswith("message ")
    # Each refusal is reported like any internal failure, before it is raised:
    # the bad value where it is parsed, the later request by the runtime.
    reports = re.findall(r"thread '[^']+' panicked at (src/net/\w+\.cpp):\d+:\d+:\n(.*)\n", result.stderr)
    assert reports == [("src/net/worker_config.cpp", lines[1][len("message "):]),
                       ("src/net/runtime.cpp", lines[3][len("message "):])], result.stderr
    assert match_server.join_requests == []

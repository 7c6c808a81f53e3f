#include "python/client.hpp"

#include <string>

#include "core/texts.hpp"
#include "net/session.hpp"
#include "python/args.hpp"
#include "python/bridge.hpp"
#include "python/calls.hpp"
#include "python/errors.hpp"
#include "python/entry.hpp"
#include "python/process_state.hpp"
#include "python/turn.hpp"

namespace kestrel::py {
namespace {

// One word more than a plain object, holding nothing: a larger instance is
// what makes TicTacToeClient a disjoint base, which the stub declares (a
// class cannot also derive from another built-in with its own layout, such
// as Exception).
struct ClientObject {
  PyObject_HEAD Py_ssize_t unused;
};

// The connect job: owns the URL copy and one reference to the client object
// for the whole session; both go when the session ends or is dropped.
boost::asio::awaitable<void> connect_job(std::string url, PyRef client,
                                         std::shared_ptr<const console::LineGate> lines,
                                         LoopBinding binding) {
  PyStrategy strategy(std::move(client), std::move(binding));
  co_await net::run_client(url, strategy, *lines);
}

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    args::bind_tuple<0>("TicTacToeClient.__new__()", {}, args, kwargs);
    return alloc_instance(type).release();
  });
}

void client_dealloc(PyObject* self) {
  guarded_void(self, [&] {
    PyTypeObject* type = Py_TYPE(self);
    free_instance(self);
    Py_DECREF(type);
  });
}

PyObject* client_connect(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto [url] =
        args::bind_fast<1>("TicTacToeClient.connect()", {"url"}, argv, PyVectorcall_NARGS(nargs), kwnames);
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(client_type()))) {
      throw type_error(texts::cannot_convert(args::type_name(self), "TicTacToeClient"));
    }
    if (!PyUnicode_Check(url)) {
      throw type_error(texts::in_argument("url", texts::cannot_convert(args::type_name(url), "PyString")));
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(url, &size);
    if (data == nullptr) throw PyError::fetch();
    std::string url_text(data, static_cast<std::size_t>(size));
    PyRef client = PyRef::borrow(self);
    auto lines = std::make_shared<console::LineGate>();
    PyRef future = spawn_as_future(
        [url_text = std::move(url_text), client = std::move(client), lines](LoopBinding binding) {
          return connect_job(url_text, client, lines, std::move(binding));
        },
        lines);
    return future.release();
  });
}

PyMethodDef g_methods[] = {
    {"connect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(client_connect)),
     METH_FASTCALL | METH_KEYWORDS, "connect($self, url)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("TicTacToeClient()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "builtins.TicTacToeClient",
    static_cast<int>(sizeof(ClientObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    g_slots,
};

}  // namespace

PyObject* client_type() {
  return fill(&ProcessState::client_type, [] { return checked(PyType_FromSpec(&g_spec)); });
}

}  // namespace kestrel::py

#include "python/state.hpp"

#include <cstdio>
#include <new>

#include "core/texts.hpp"
#include "python/calls.hpp"
#include "python/errors.hpp"
#include "python/entry.hpp"
#include "python/process_state.hpp"

namespace kestrel::py {
namespace {

struct StateObject {
  PyObject_HEAD BoardEntries entries;  // constructed in place after allocation
};

PyTypeObject* state_type();

StateObject* as_state(PyObject* self) {
  if (!PyObject_TypeCheck(self, state_type())) {
    throw type_error(texts::cannot_convert(class_name(Py_TYPE(self)), "PyTicTacToeState"));
  }
  return reinterpret_cast<StateObject*>(self);
}

PyObject* get_board(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    StateObject* state = as_state(self);
    BoardEntries copy = state->entries;
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(copy.size())));
    for (std::size_t i = 0; i < copy.size(); ++i) {
      PyRef item = copy[i] ? make_str(*copy[i]) : PyRef::borrow(Py_None);
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
  });
}

PyObject* state_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    StateObject* state = as_state(self);
    return make_str(render_entries(state->entries)).release();
  });
}

void state_dealloc(PyObject* self) {
  guarded_void(self, [&] {
    auto* state = reinterpret_cast<StateObject*>(self);
    state->entries.~BoardEntries();
    PyTypeObject* type = Py_TYPE(self);
    free_instance(self);
    Py_DECREF(type);
  });
}

PyGetSetDef g_getset[] = {
    {"board", get_board, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(state_repr)},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "builtins.PyTicTacToeState", static_cast<int>(sizeof(StateObject)), 0, Py_TPFLAGS_DEFAULT, g_slots,
};

PyTypeObject* state_type() {
  return reinterpret_cast<PyTypeObject*>(
      fill(&ProcessState::state_type, [] { return create_type_or_fail(g_spec, "PyTicTacToeState"); }));
}

void append_debug_text(std::string& out, const std::string& text) {
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buffer[12];
          std::snprintf(buffer, sizeof buffer, "\\u{%x}", c);
          out += buffer;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

}  // namespace

BoardEntries board_entries(const TicTacToeState& state) {
  BoardEntries entries;
  entries.reserve(state.board.size());
  for (const CellContent& cell : state.board) {
    if (!cell) {
      entries.emplace_back(std::nullopt);
    } else {
      entries.emplace_back(*cell == Player::Player1 ? "X" : "O");
    }
  }
  return entries;
}

std::string render_entries(const BoardEntries& entries) {
  std::string out = "[";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) out += ", ";
    if (entries[i]) {
      out += "Some(";
      append_debug_text(out, *entries[i]);
      out += ")";
    } else {
      out += "None";
    }
  }
  out += "]";
  return out;
}

PyRef make_state_object(BoardEntries entries) {
  PyTypeObject* type = state_type();
  PyRef object = alloc_instance(type);
  auto* state = reinterpret_cast<StateObject*>(object.get());
  new (&state->entries) BoardEntries(std::move(entries));
  return object;
}

}  // namespace kestrel::py

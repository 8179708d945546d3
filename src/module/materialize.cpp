// Builds the Element tree from the parsed Document. The nodes are in pre-order, so an
// explicit stack of open elements replaces recursion: any depth converts without touching
// the native stack.
//
// Two builders give the same tree. For any element class the calls per node are: dict, its
// items, Element(tag, attrib), text, tail, then each child is finished and appended in
// document order; a replaced or subclassed Element sees exactly that sequence. When the
// class is exactly the standard accelerator's own Element type, nothing can observe the
// calls, and the accelerator's C TreeBuilder makes the same elements for a fraction of the
// cost: it creates each element directly (no class call, no argument parsing, no copy of
// the attribute dict) and sets text and tail in place.
#include <Python.h>

#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "module/module.h"
#include "module/py_ref.h"

namespace vorlane {
namespace {

PyObject* new_str(std::string_view bytes) {
  return PyUnicode_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

bool is_short_whitespace(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > 128) return false;
  for (char c : bytes) {
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return false;
  }
  return true;
}

// The Python strings of one conversion: each name converted once, and the white-space runs
// of pretty-printed documents, which repeat, sharing one str.
class Strings {
 public:
  explicit Strings(const Document& document) : document_(document), names_(document.names.size()) {}

  // Borrowed; nullptr with an exception set on failure.
  PyObject* name(std::uint32_t id) {
    PyRef& slot = names_[id];
    if (!slot) slot.reset(new_str(document_.name(id)));
    return slot.get();
  }

  PyObject* new_text(const StringRef& ref) {
    std::string_view bytes = document_.bytes(ref);
    if (!is_short_whitespace(bytes)) return new_str(bytes);
    auto found = whitespace_.find(bytes);
    if (found != whitespace_.end()) return Py_NewRef(found->second.get());
    PyObject* text = new_str(bytes);
    if (text) whitespace_.emplace(bytes, PyRef::borrow(text));
    return text;
  }

  // A fresh dict of the node's attributes in document order; a later duplicate replaces the
  // earlier value in the earlier position, as dict stores do.
  PyObject* new_attrib(const ElementNode& node) {
    PyRef attrib(PyDict_New());
    if (!attrib) return nullptr;
    for (std::uint32_t a = 0; a < node.attribute_count; ++a) {
      const Attribute& attribute = document_.attributes[node.first_attribute + a];
      PyObject* key = name(attribute.name);
      if (!key) return nullptr;
      PyRef value(new_str(document_.bytes(attribute.value)));
      if (!value || PyDict_SetItem(attrib.get(), key, value.get()) < 0) return nullptr;
    }
    return attrib.release();
  }

 private:
  const Document& document_;
  std::vector<PyRef> names_;
  std::unordered_map<std::string_view, PyRef> whitespace_;
};

// Nodes are read once, in order: the parsed tree shrinks while the Element tree grows.
void release_read_nodes(Document& document, std::size_t index) {
  const ElementNode& node = document.nodes[index];
  document.attributes.release_before(node.first_attribute + node.attribute_count);
  document.nodes.release_before(index + 1);
}

// ---------------------------------------------------------------------------------------
// Any element class: the call sequence above, through the interpreter's generic calls.

class ClassBuilder {
 public:
  ClassBuilder(PyObject* element_class, Document& document)
      : element_class_(element_class), document_(document), strings_(document) {}

  PyObject* build() {
    BlockVector<ElementNode>& nodes = document_.nodes;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (!close_finished(i)) return nullptr;
      const ElementNode& node = nodes[i];
      PyRef element(new_element(node));
      if (!element) return nullptr;
      open_.push_back({std::move(element), node.subtree_end});
      release_read_nodes(document_, i);
    }
    if (!close_finished(nodes.size())) return nullptr;
    return root_.release();
  }

 private:
  struct Open {
    PyRef element;
    std::size_t subtree_end;
  };

  // Appends every open element whose subtree ends at or before `index` to its parent.
  bool close_finished(std::size_t index) {
    while (!open_.empty() && open_.back().subtree_end <= index) {
      PyRef child = std::move(open_.back().element);
      open_.pop_back();
      if (open_.empty()) {
        root_ = std::move(child);
        break;
      }
      PyObject* append = attribute_name(append_name_, "append");
      if (!append) return false;
      PyObject* call_args[] = {open_.back().element.get(), child.get()};
      PyRef ignored(PyObject_VectorcallMethod(append, call_args,
                                              2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
      if (!ignored) return false;
    }
    return true;
  }

  PyObject* new_element(const ElementNode& node) {
    PyRef attrib(strings_.new_attrib(node));
    if (!attrib) return nullptr;
    PyObject* tag = strings_.name(node.tag);
    if (!tag) return nullptr;
    PyRef element(call_element_class(tag, attrib.get()));
    if (!element) return nullptr;
    attrib.reset();
    if (!set_text(element.get(), text_name_, "text", node.text)) return nullptr;
    if (!set_text(element.get(), tail_name_, "tail", node.tail)) return nullptr;
    return element.release();
  }

  // Element(tag, attrib). A class without vectorcall would get a fresh args tuple per call;
  // one tuple is refilled instead while this builder holds its only reference.
  PyObject* call_element_class(PyObject* tag, PyObject* attrib) {
    if (!args_ || Py_REFCNT(args_.get()) != 1) {
      args_.reset(PyTuple_New(2));
      if (!args_) return nullptr;
    }
    if (PyTuple_SetItem(args_.get(), 0, Py_NewRef(tag)) < 0 ||
        PyTuple_SetItem(args_.get(), 1, Py_NewRef(attrib)) < 0) {
      return nullptr;
    }
    PyObject* element = PyObject_Call(element_class_, args_.get(), nullptr);
    // Drop the tuple's hold on the dictionary now rather than at the next call.
    if (Py_REFCNT(args_.get()) == 1) {
      if (PyTuple_SetItem(args_.get(), 1, Py_NewRef(Py_None)) < 0) {
        Py_XDECREF(element);
        return nullptr;
      }
    } else {
      args_.reset();  // someone kept the tuple: never touch it again
    }
    return element;
  }

  bool set_text(PyObject* element, PyRef& name_slot, const char* name, const StringRef& ref) {
    if (!ref.present()) return true;
    PyObject* attribute = attribute_name(name_slot, name);
    if (!attribute) return false;
    PyRef value(strings_.new_text(ref));
    return value && PyObject_SetAttr(element, attribute, value.get()) == 0;
  }

  // "text", "tail" and "append" as interned str, made on first use: a small document may
  // need none of them, and interning is a dictionary lookup each.
  static PyObject* attribute_name(PyRef& slot, const char* name) {
    if (!slot) slot.reset(PyUnicode_InternFromString(name));
    return slot.get();
  }

  PyObject* element_class_;
  Document& document_;
  Strings strings_;
  std::vector<Open> open_;  // each entry owns its element, and through it the appended children
  PyRef root_;
  PyRef args_;
  PyRef text_name_;
  PyRef tail_name_;
  PyRef append_name_;
};

// ---------------------------------------------------------------------------------------
// Exactly the accelerator's Element: its C TreeBuilder's start, data, end and close.

// True when `type` is a heap type named `name` that the extension module `module` defined.
bool is_type_of(PyObject* type, PyObject* module, const char* name) {
  if (!PyType_Check(type)) return false;
  PyTypeObject* as_type = reinterpret_cast<PyTypeObject*>(type);
  if (!(PyType_GetFlags(as_type) & Py_TPFLAGS_HEAPTYPE)) return false;
  PyObject* owner = PyType_GetModule(as_type);  // borrowed
  if (!owner) {
    PyErr_Clear();  // a class defined in Python has no module of its own
    return false;
  }
  if (owner != module) return false;
  PyRef type_name(PyType_GetName(as_type));
  if (!type_name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(type_name.get(), name) == 0;
}

// The accelerator's TreeBuilder type when `element_class` is exactly the Element type of the
// `_elementtree` module that defined it (the module whose names xml.etree.ElementTree took
// over), else nullptr with no exception. Checked at every call: the types are looked up in
// the module itself, so a patched xml.etree.ElementTree.TreeBuilder is never used, and a
// replaced `_elementtree.TreeBuilder` sends the call down the generic path.
PyObject* accelerator_tree_builder(PyObject* element_class) {
  if (!PyType_Check(element_class)) return nullptr;
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(element_class);
  if (!(PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE)) return nullptr;
  PyObject* module = PyType_GetModule(type);  // borrowed
  if (!module) {
    PyErr_Clear();
    return nullptr;
  }
  if (!PyModule_Check(module) || !PyModule_GetDef(module)) {
    PyErr_Clear();
    return nullptr;
  }
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name || PyUnicode_CompareWithASCIIString(module_name.get(), "_elementtree") != 0 ||
      !is_type_of(element_class, module, "Element")) {
    PyErr_Clear();
    return nullptr;
  }
  PyRef builder_type(PyObject_GetAttrString(module, "TreeBuilder"));
  if (!builder_type || !is_type_of(builder_type.get(), module, "TreeBuilder")) {
    PyErr_Clear();
    return nullptr;
  }
  return builder_type.release();
}

// One bound method of the builder. When its calling convention is the one expected, it is
// called through its C function directly, which is what the interpreter's call would do
// after its dispatch; otherwise through the interpreter's call.
class BuilderMethod {
 public:
  using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);

  bool bind(PyObject* builder, const char* name, int expected_flags) {
    method_.reset(PyObject_GetAttrString(builder, name));
    if (!method_) return false;
    if (PyCFunction_Check(method_.get()) && PyCFunction_GetFlags(method_.get()) == expected_flags) {
      function_ = PyCFunction_GetFunction(method_.get());
      self_ = PyCFunction_GetSelf(method_.get());
    }
    return true;
  }

  PyObject* call(PyObject* arg0, PyObject* arg1) {  // METH_FASTCALL
    PyObject* args[] = {arg0, arg1};
    if (function_) return reinterpret_cast<FastFunction>(reinterpret_cast<void (*)()>(function_))(self_, args, 2);
    return PyObject_Vectorcall(method_.get(), args, 2, nullptr);
  }

  PyObject* call(PyObject* arg) {  // METH_O
    if (function_) return function_(self_, arg);
    return PyObject_Vectorcall(method_.get(), &arg, 1, nullptr);
  }

  PyObject* call() {  // METH_NOARGS
    if (function_) return function_(self_, nullptr);
    return PyObject_Vectorcall(method_.get(), nullptr, 0, nullptr);
  }

 private:
  PyRef method_;
  PyCFunction function_ = nullptr;
  PyObject* self_ = nullptr;  // held by method_
};

class AcceleratedBuilder {
 public:
  explicit AcceleratedBuilder(Document& document) : document_(document), strings_(document) {}

  PyObject* build(PyObject* builder_type) {
    builder_.reset(PyObject_CallNoArgs(builder_type));
    if (!builder_ || !start_.bind(builder_.get(), "start", METH_FASTCALL) ||
        !data_.bind(builder_.get(), "data", METH_O) || !end_.bind(builder_.get(), "end", METH_O) ||
        !close_.bind(builder_.get(), "close", METH_NOARGS)) {
      return nullptr;
    }
    // Passed for elements without attributes: the builder never stores an empty dict, and
    // the element's attrib is then a fresh dict of its own on first access.
    no_attributes_.reset(PyDict_New());
    if (!no_attributes_) return nullptr;

    BlockVector<ElementNode>& nodes = document_.nodes;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (!close_finished(i)) return nullptr;
      const ElementNode& node = nodes[i];
      if (!start(node)) return nullptr;
      open_.push_back({node.subtree_end, node.tail});
      release_read_nodes(document_, i);
    }
    if (!close_finished(nodes.size())) return nullptr;
    return close_.call();
    // On any failure builder_ goes, and with it every element built so far.
  }

 private:
  struct Open {
    std::size_t subtree_end;
    StringRef tail;
  };

  bool start(const ElementNode& node) {
    PyObject* tag = strings_.name(node.tag);
    if (!tag) return false;
    PyRef attrib;
    if (node.attribute_count) {
      attrib.reset(strings_.new_attrib(node));
      if (!attrib) return false;
    }
    PyRef element(start_.call(tag, attrib ? attrib.get() : no_attributes_.get()));
    return element && data(node.text);
  }

  // Ends every open element whose subtree ends at or before `index`, each followed by its tail.
  bool close_finished(std::size_t index) {
    while (!open_.empty() && open_.back().subtree_end <= index) {
      const StringRef tail = open_.back().tail;
      open_.pop_back();
      PyRef ended(end_.call(Py_None));  // the builder ignores the tag of an end
      if (!ended || !data(tail)) return false;
    }
    return true;
  }

  // The builder gives the data that follows a start to the new element's text and the data
  // that follows an end to the ended element's tail. An empty str is stored as it is.
  bool data(const StringRef& ref) {
    if (!ref.present()) return true;
    PyRef text(strings_.new_text(ref));
    if (!text) return false;
    PyRef ignored(data_.call(text.get()));
    return static_cast<bool>(ignored);
  }

  Document& document_;
  Strings strings_;
  PyRef builder_;
  BuilderMethod start_;
  BuilderMethod data_;
  BuilderMethod end_;
  BuilderMethod close_;
  PyRef no_attributes_;
  std::vector<Open> open_;
};

}  // namespace

PyObject* materialize_tree(PyObject* element_class, Document& document) {
  if (document.nodes.empty()) {
    PyErr_SetString(PyExc_SystemError, "parse produced no root element");
    return nullptr;
  }
  PyRef builder_type(accelerator_tree_builder(element_class));
  if (builder_type) return AcceleratedBuilder(document).build(builder_type.get());
  return ClassBuilder(element_class, document).build();
}

}  // namespace vorlane

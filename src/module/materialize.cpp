// Builds the Element tree from the parsed Document. The nodes are in pre-order, so an
// explicit stack of open elements replaces recursion: any depth converts without touching
// the native stack. Per node the calls are: dict, its items, Element(tag, attrib), text,
// tail, then each child is finished and appended in document order.
#include <Python.h>

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

class TreeBuilder {
 public:
  TreeBuilder(PyObject* element_class, Document& document)
      : element_class_(element_class), document_(document), names_(document.names.size()) {}

  PyObject* build() {
    BlockVector<ElementNode>& nodes = document_.nodes;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (!close_finished(i)) return nullptr;
      const ElementNode& node = nodes[i];
      PyRef element(new_element(node));
      if (!element) return nullptr;
      open_.push_back({std::move(element), node.subtree_end});
      // Nodes are read once, in order: the parsed tree shrinks while the Element tree grows.
      document_.attributes.release_before(node.first_attribute + node.attribute_count);
      nodes.release_before(i + 1);
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

  // One str per name id, created on first use.
  PyObject* name(std::uint32_t id) {
    PyRef& slot = names_[id];
    if (!slot) slot.reset(new_str(document_.name(id)));
    return slot.get();
  }

  // text and tail; white-space runs of pretty-printed documents repeat, so they share one str.
  PyObject* new_text(const StringRef& ref) {
    std::string_view bytes = document_.bytes(ref);
    if (!is_short_whitespace(bytes)) return new_str(bytes);
    auto found = whitespace_.find(bytes);
    if (found != whitespace_.end()) return Py_NewRef(found->second.get());
    PyObject* text = new_str(bytes);
    if (text) whitespace_.emplace(bytes, PyRef::borrow(text));
    return text;
  }

  PyObject* new_element(const ElementNode& node) {
    PyRef attrib(PyDict_New());
    if (!attrib) return nullptr;
    for (std::uint32_t a = 0; a < node.attribute_count; ++a) {
      const Attribute& attribute = document_.attributes[node.first_attribute + a];
      PyObject* key = name(attribute.name);
      if (!key) return nullptr;
      PyRef value(new_str(document_.bytes(attribute.value)));
      if (!value || PyDict_SetItem(attrib.get(), key, value.get()) < 0) return nullptr;
    }
    PyObject* tag = name(node.tag);
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
    PyRef value(new_text(ref));
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
  std::vector<PyRef> names_;
  std::unordered_map<std::string_view, PyRef> whitespace_;
  std::vector<Open> open_;  // each entry owns its element, and through it the appended children
  PyRef root_;
  PyRef args_;
  PyRef text_name_;
  PyRef tail_name_;
  PyRef append_name_;
};

}  // namespace

PyObject* materialize_tree(PyObject* element_class, Document& document) {
  if (document.nodes.empty()) {
    PyErr_SetString(PyExc_SystemError, "parse produced no root element");
    return nullptr;
  }
  TreeBuilder builder(element_class, document);
  return builder.build();
}

}  // namespace vorlane

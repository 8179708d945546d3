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

#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/white_space.h"
#include "module/accelerator.h"
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
    if (!is_xml_space(c)) return false;
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
    // A direct-mapped table: a document indents with a handful of distinct runs, and a
    // collision only costs a str of the same value.
    const std::size_t n = bytes.size();
    Shared& slot = whitespace_[(n * 7 + static_cast<unsigned char>(bytes[0]) +
                                static_cast<unsigned char>(bytes[n - 1]) * 3) % kWhitespaceSlots];
    if (slot.text && slot.bytes == bytes) return Py_NewRef(slot.text.get());
    PyObject* text = new_str(bytes);
    if (text) slot = {bytes, PyRef::borrow(text)};
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
  struct Shared {
    std::string_view bytes;
    PyRef text;
  };
  static constexpr std::size_t kWhitespaceSlots = 64;
  std::array<Shared, kWhitespaceSlots> whitespace_;
};

// Nodes are read once, in order: the parsed tree shrinks while the Element tree grows. Called
// after node `index` has been read; frees at each block boundary of the nodes.
void release_read_nodes(Document& document, std::size_t index) {
  if ((index + 1) % BlockVector<ElementNode>::kBlock != 0) return;
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

// The extension module that defined the heap type `type` (borrowed), or nullptr without an
// exception for anything else, a class defined in Python included.
PyObject* defining_module(PyObject* type) {
  if (!PyType_Check(type)) return nullptr;
  PyTypeObject* as_type = reinterpret_cast<PyTypeObject*>(type);
  if (!(PyType_GetFlags(as_type) & Py_TPFLAGS_HEAPTYPE)) return nullptr;
  PyObject* module = PyType_GetModule(as_type);  // borrowed
  if (!module) PyErr_Clear();
  return module;
}

// True when the type `type` is named `name`.
bool has_name(PyObject* type, const char* name) {
  PyRef type_name(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
  if (!type_name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(type_name.get(), name) == 0;
}

// The `_elementtree` module that defined the heap type `type`, when `type` is named `name`
// (borrowed); null, with no exception, for anything else.
PyObject* accelerator_module(PyObject* type, const char* name) {
  PyObject* module = defining_module(type);
  if (!module) return nullptr;
  const char* module_name = PyModule_Check(module) ? PyModule_GetName(module) : nullptr;
  if (!module_name || std::strcmp(module_name, "_elementtree") != 0 || !has_name(type, name)) {
    PyErr_Clear();
    return nullptr;
  }
  return module;
}

// What `module` calls TreeBuilder now (borrowed), or null with no exception.
PyObject* tree_builder_of(PyObject* module) {
  PyRef key(PyUnicode_FromStringAndSize("TreeBuilder", 11));
  PyObject* type = key ? PyDict_GetItemWithError(PyModule_GetDict(module), key.get()) : nullptr;
  if (!type) PyErr_Clear();
  return type;
}

}  // namespace

// Checked at every call. The TreeBuilder type is looked up in the module and must be its own,
// so a patched xml.etree.ElementTree.TreeBuilder is never used and a replaced
// `_elementtree.TreeBuilder` sends the call down the generic path.
bool find_accelerator(PyObject* element_class, TreeBuilderEntries* entries) {
  PyObject* module = accelerator_module(element_class, "Element");
  PyObject* builder_type = module ? tree_builder_of(module) : nullptr;
  // The module's own TreeBuilder type, not a replacement put in its place.
  return builder_type && defining_module(builder_type) == module && has_name(builder_type, "TreeBuilder") &&
         entries->find(builder_type);
}

bool find_builder_entries(PyObject* builder, TreeBuilderEntries* entries) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(builder));
  PyObject* module = accelerator_module(type, "TreeBuilder");
  return module && tree_builder_of(module) == type && entries->find(type);
}

namespace {

class AcceleratedBuilder {
 public:
  AcceleratedBuilder(const TreeBuilderEntries& entries, Document& document)
      : entries_(entries), document_(document), strings_(document) {}

  PyObject* build() {
    builder_.reset(PyObject_CallNoArgs(entries_.type));
    if (!builder_) return nullptr;
    // Passed for elements without attributes: the builder never stores an empty dict, and
    // the element's attrib is then a fresh dict of its own on first access.
    no_attributes_.reset(PyDict_New());
    if (!no_attributes_) return nullptr;

    BlockVector<ElementNode>& nodes = document_.nodes;
    open_.reserve(64);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (!close_finished(i)) return nullptr;
      const ElementNode& node = nodes[i];
      if (!start(node)) return nullptr;
      const bool has_tail = node.tail.present();
      open_.push_back(std::uint64_t{node.subtree_end} | (has_tail ? kHasTail : 0));
      if (has_tail) tails_.push_back(node.tail);
      release_read_nodes(document_, i);
    }
    if (!close_finished(nodes.size())) return nullptr;
    return entries_.close(builder_.get(), nullptr);
    // On any failure builder_ goes, and with it every element built so far.
  }

 private:
  // An open element is its subtree end, with the top bit set when it has a tail, which then
  // waits on tails_: a deep stack stays small, and nearly all its tails are absent.
  static constexpr std::uint64_t kHasTail = std::uint64_t{1} << 63;

  bool start(const ElementNode& node) {
    PyObject* tag = strings_.name(node.tag);
    if (!tag) return false;
    PyRef attrib;
    if (node.attribute_count) {
      attrib.reset(strings_.new_attrib(node));
      if (!attrib) return false;
    }
    PyObject* args[] = {tag, attrib ? attrib.get() : no_attributes_.get()};
    PyRef element(entries_.start(builder_.get(), args, 2));
    return element && data(node.text);
  }

  // Ends every open element whose subtree ends at or before `index`, each followed by its tail.
  bool close_finished(std::size_t index) {
    while (!open_.empty() && (open_.back() & ~kHasTail) <= index) {
      const bool has_tail = open_.back() & kHasTail;
      open_.pop_back();
      PyRef ended(entries_.end(builder_.get(), Py_None));  // the builder ignores the tag of an end
      if (!ended) return false;
      if (has_tail) {
        const StringRef tail = tails_.back();
        tails_.pop_back();
        if (!data(tail)) return false;
      }
    }
    return true;
  }

  // The builder gives the data that follows a start to the new element's text and the data
  // that follows an end to the ended element's tail. An empty str is stored as it is.
  bool data(const StringRef& ref) {
    if (!ref.present()) return true;
    PyRef text(strings_.new_text(ref));
    if (!text) return false;
    PyRef ignored(entries_.data(builder_.get(), text.get()));
    return static_cast<bool>(ignored);
  }

  const TreeBuilderEntries& entries_;
  Document& document_;
  Strings strings_;
  PyRef builder_;
  PyRef no_attributes_;
  std::vector<std::uint64_t> open_;
  std::vector<StringRef> tails_;
};

}  // namespace

PyObject* materialize_tree(PyObject* element_class, Document& document) {
  if (document.nodes.empty()) {
    PyErr_SetString(PyExc_SystemError, "parse produced no root element");
    return nullptr;
  }
  TreeBuilderEntries entries;
  if (find_accelerator(element_class, &entries)) return AcceleratedBuilder(entries, document).build();
  return ClassBuilder(element_class, document).build();
}

}  // namespace vorlane

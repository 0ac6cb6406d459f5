#pragma once
// Reads the opcodes of a pickle without running any of them. The classifier's model loader
// checks a file with it before unpickling: every object a pickle names (a global) is named in
// its opcodes, so a file that names anything not admitted is refused before any object exists.
// Naming only admitted globals is not enough, though: numpy's rebuilders and the builtin
// constructors make objects out of whatever sizes and states the file writes. So the scan
// follows every value on a model of the unpickler's stack and memo, and admits each call and
// each state update only in the shapes that model files written by the library hold.

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace velmora::core {

// A pickle the scan refuses; what() says why, naming the global concerned where there is one
// ("it names 'posix.system'"). Text taken from the file is quoted, escaped and cut short.
class RefusedPickle : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

using AdmittedGlobal = std::function<bool(const std::string& module, const std::string& name)>;

// A numpy dtype that a file may rebuild with `numpy.dtype(kind, False, True)`: its item size,
// whether its items are Python objects, and the state that numpy pickles for it, spelt as the
// scan spells a literal tuple: elements in parentheses, separated by commas, integers in
// decimal, text in single quotes (unescaped), None as N, booleans as T and F.
struct PickledDtype {
  std::size_t itemsize = 0;
  bool holds_objects = false;
  std::string state;
};

struct PickleRules {
  AdmittedGlobal admitted;
  // Keyed by the kind text the pickle passes to numpy.dtype ("f8", "O8", ...). Only
  // fixed-size kinds belong here: their state is all the scan compares.
  std::unordered_map<std::string, PickledDtype> dtypes;
  // Deepest nesting admitted: containers, calls and state updates each add a level.
  std::size_t max_depth = 0;
  // Largest expanded size of a value, per byte of the file (plus a few kilobytes of slack):
  // each object, byte of text and byte of data counts once for every path to it, so every
  // memo reference counts as a full copy of what it names. 0 leaves it unchecked.
  std::size_t expansion_per_byte = 0;
};

// Walks the opcodes of the pickle in data[0, size) up to its STOP. Throws RefusedPickle at the
// first of:
// - a global (GLOBAL, STACK_GLOBAL, INST) for which `admitted(module, name)` is false, or whose
//   module or name is not literal text, not UTF-8, or holds NUL;
// - a call other than those model files make: numpy.dtype of a listed kind (and a state update
//   only to the state numpy writes for it); numpy's array rebuilders with a listed dtype and
//   data whose length matches the shape (object arrays only from a list of their items);
//   numpy scalars of a non-object dtype from their bytes; an admitted class made by NEWOBJ
//   without arguments and given a dictionary as its state; builtin constructors from literal
//   values only (no sizes, no iterators); nothing else is called;
// - a change of an object other than a fresh list, dictionary or set (APPEND(S), SETITEM(S),
//   ADDITEMS) or a fresh object of the kinds above (BUILD), or of one already placed in
//   another object; dictionary keys other than text, set items other than plain scalars
//   (integers within 64 bits);
// - a memo index beyond the memo's current size (each PUT extends the memo by at most one);
// - nesting deeper than `max_depth`;
// - copies of stored values (builtin constructors, array data) that together exceed the
//   file's size: one value fetched from the memo over and over;
// - a value whose expanded size (every memo reference counted as a full copy of what it
//   names) exceeds `expansion_per_byte` times the file's size: shared parts nested into a
//   graph whose walk (a comparison, a repr) never ends;
// - a dictionary entry "_sklearn_version" whose value is not short version text;
// - an extension code, a persistent id, an out-of-band buffer, INST, OBJ or NEWOBJ_EX;
// - an unknown opcode, a truncated argument or frame, a stack underflow, an unknown memo
//   entry, data that ends before STOP, or a STOP that leaves other than one object.
// Protocols 0 to 5 are read.
//
// What a passed file then costs stays a small multiple of its size: array data and text are
// the file's own bytes, all copies of them together no more than the file holds, each object
// takes an opcode of its own, no call takes a size, no set can be filled with colliding
// hashes, and the memo grows by at most one entry per opcode. The scan itself keeps about 64 bytes per object.
void scan_pickle(const unsigned char* data, std::size_t size, const PickleRules& rules);

}  // namespace velmora::core

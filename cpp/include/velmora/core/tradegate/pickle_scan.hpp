#pragma once
// Reads the opcodes of a pickle without running any of them. The classifier's model loader
// checks a file with it before unpickling: every object a pickle names (a global) is named in
// its opcodes, so a file that names anything not admitted is refused before any object exists.

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>

namespace velmora::core {

// A pickle the scan refuses; what() says why, naming the global concerned where there is one
// ("it names 'posix.system'").
class RefusedPickle : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

using AdmittedGlobal = std::function<bool(const std::string& module, const std::string& name)>;

// Walks the opcodes of the pickle in data[0, size) up to its STOP, following the stack and
// the memo as far as needed to know which entries are named globals and which are literal
// text. Throws RefusedPickle at the first of:
// - a global (GLOBAL, STACK_GLOBAL, INST) for which `admitted(module, name)` is false;
// - a global whose module or name is not literal text (STACK_GLOBAL on computed strings);
// - a change applied to a named global itself (BUILD, SETITEM(S), APPEND(S), ADDITEMS): a
//   state update would set attributes of a library function;
// - an extension code or a persistent id;
// - an unknown opcode, a truncated argument, a stack underflow, an unknown memo entry, or
//   data that ends before STOP.
// Protocols 0 to 5 are read; out-of-band buffers are only followed on the stack.
void scan_pickle(const unsigned char* data, std::size_t size, const AdmittedGlobal& admitted);

}  // namespace velmora::core

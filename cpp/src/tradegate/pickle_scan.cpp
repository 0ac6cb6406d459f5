#include "velmora/core/tradegate/pickle_scan.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velmora::core {

namespace {

// What the scan knows of a stack or memo entry: a named global (its "module.name" in
// `text`), literal text (its bytes in `text`), or any other object.
struct Entry {
  enum class Kind : unsigned char { Other, Text, Global };
  Kind kind = Kind::Other;
  std::size_t text = 0;  // index into Scanner::texts_
};

// The pickle machine's stack, marks and memo, with entries reduced to what they are known
// to be. Marks are stack depths, as in the pickle module: nothing may pop below the latest.
class Scanner {
 public:
  Scanner(const unsigned char* data, std::size_t size, const AdmittedGlobal& admitted)
      : data_(data), size_(size), admitted_(admitted) {}

  void run() {
    for (;;) {
      if (pos_ >= size_) refuse("the data ends before its STOP");
      const unsigned char opcode = data_[pos_++];
      if (opcode == '.') return;  // STOP
      step(opcode);
    }
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  const AdmittedGlobal& admitted_;
  std::vector<Entry> stack_;
  std::vector<std::size_t> marks_;
  std::unordered_map<std::uint64_t, Entry> memo_;
  std::vector<std::string> texts_;

  [[noreturn]] void refuse(const std::string& why) const { throw RefusedPickle(why); }

  [[noreturn]] void damaged(const std::string& what) const {
    throw RefusedPickle("it is not a well-formed pickle (" + what + " at byte " +
                        std::to_string(pos_) + ")");
  }

  const unsigned char* take(std::uint64_t count) {
    if (count > size_ - pos_) damaged("an argument runs past the end of the data");
    const unsigned char* start = data_ + pos_;
    pos_ += static_cast<std::size_t>(count);
    return start;
  }

  std::uint64_t unsigned_le(int bytes) {
    const unsigned char* p = take(static_cast<std::uint64_t>(bytes));
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
    return value;
  }

  // A four-byte count that the pickle module reads as signed: negative counts are errors.
  std::uint64_t signed_count4() {
    const std::uint64_t value = unsigned_le(4);
    if (value & 0x80000000u) damaged("a negative length");
    return value;
  }

  std::string line() {
    std::size_t end = pos_;
    while (end < size_ && data_[end] != '\n') ++end;
    if (end == size_) damaged("a text argument without its newline");
    std::string text(reinterpret_cast<const char*>(data_ + pos_), end - pos_);
    pos_ = end + 1;
    return text;
  }

  std::uint64_t line_index() {
    const std::string text = line();
    if (text.empty() || text.size() > 18) damaged("a malformed memo index");
    std::uint64_t value = 0;
    for (char c : text) {
      if (c < '0' || c > '9') damaged("a malformed memo index");
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
  }

  std::size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }

  Entry pop() {
    if (stack_.size() <= fence()) damaged("a stack underflow");
    Entry entry = stack_.back();
    stack_.pop_back();
    return entry;
  }

  void pop(int count) {
    for (int i = 0; i < count; ++i) pop();
  }

  const Entry& top() const {
    if (stack_.size() <= fence()) damaged("a stack underflow");
    return stack_.back();
  }

  void pop_mark() {
    if (marks_.empty()) damaged("a missing MARK");
    stack_.resize(marks_.back());
    marks_.pop_back();
  }

  void push(Entry entry = {}) { stack_.push_back(entry); }

  void push_text(const unsigned char* bytes, std::uint64_t count) {
    texts_.emplace_back(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(count));
    push({Entry::Kind::Text, texts_.size() - 1});
  }

  // Every global is checked where the pickle names it, before the unpickler would look it up.
  std::size_t admitted_global(const std::string& module, const std::string& name) {
    if (!admitted_(module, name)) refuse("it names '" + module + "." + name + "'");
    texts_.push_back(module + "." + name);
    return texts_.size() - 1;
  }

  void push_global(const std::string& module, const std::string& name) {
    push({Entry::Kind::Global, admitted_global(module, name)});
  }

  // The entry that APPEND, SETITEM, BUILD and the like change, once their operands are off
  // the stack. A named global is never such a target in a pickle of data: changing one would
  // rewrite a library function or class for the whole process.
  void change_top() {
    const Entry& target = top();
    if (target.kind == Entry::Kind::Global) {
      refuse("it changes '" + texts_[target.text] + "' itself");
    }
  }

  void memo_put(std::uint64_t index) { memo_[index] = top(); }

  void memo_get(std::uint64_t index) {
    auto found = memo_.find(index);
    if (found == memo_.end()) damaged("an unknown memo entry");
    push(found->second);
  }

  void step(unsigned char opcode) {
    switch (opcode) {
      // stack and memo
      case '(': marks_.push_back(stack_.size()); break;                     // MARK
      case '0':                                                              // POP
        if (stack_.size() > fence()) {
          stack_.pop_back();
        } else {
          pop_mark();
        }
        break;
      case '1': pop_mark(); break;                                           // POP_MARK
      case '2': push(top()); break;                                          // DUP
      case 'p': memo_put(line_index()); break;                               // PUT
      case 'q': memo_put(unsigned_le(1)); break;                             // BINPUT
      case 'r': memo_put(unsigned_le(4)); break;                             // LONG_BINPUT
      case 0x94: memo_put(memo_.size()); break;                              // MEMOIZE
      case 'g': memo_get(line_index()); break;                               // GET
      case 'h': memo_get(unsigned_le(1)); break;                             // BINGET
      case 'j': memo_get(unsigned_le(4)); break;                             // LONG_BINGET
      case 0x80:                                                             // PROTO
        if (unsigned_le(1) > 5) damaged("an unknown protocol");
        break;
      case 0x95: unsigned_le(8); break;  // FRAME: its opcodes follow inline

      // scalars
      case 'N': case 0x88: case 0x89: push(); break;          // NONE, NEWTRUE, NEWFALSE
      case 'I': case 'L': case 'F': case 'S': case 'V':       // INT, LONG, FLOAT, STRING, UNICODE
        line();
        push();
        break;
      case 'K': take(1); push(); break;                       // BININT1
      case 'M': take(2); push(); break;                       // BININT2
      case 'J': take(4); push(); break;                       // BININT
      case 'G': take(8); push(); break;                       // BINFLOAT
      case 0x8a: take(unsigned_le(1)); push(); break;         // LONG1
      case 0x8b: take(signed_count4()); push(); break;        // LONG4
      case 'U': take(unsigned_le(1)); push(); break;          // SHORT_BINSTRING
      case 'T': take(signed_count4()); push(); break;         // BINSTRING
      case 'C': take(unsigned_le(1)); push(); break;          // SHORT_BINBYTES
      case 'B': take(unsigned_le(4)); push(); break;          // BINBYTES
      case 0x8e: case 0x96: take(unsigned_le(8)); push(); break;  // BINBYTES8, BYTEARRAY8
      case 0x8c: {                                            // SHORT_BINUNICODE
        const std::uint64_t count = unsigned_le(1);
        push_text(take(count), count);
        break;
      }
      case 'X': {                                             // BINUNICODE
        const std::uint64_t count = unsigned_le(4);
        push_text(take(count), count);
        break;
      }
      case 0x8d: {                                            // BINUNICODE8
        const std::uint64_t count = unsigned_le(8);
        push_text(take(count), count);
        break;
      }
      case 0x97: push(); break;                               // NEXT_BUFFER
      case 0x98: top(); break;                                // READONLY_BUFFER

      // containers
      case ')': case ']': case '}': case 0x8f: push(); break;  // EMPTY_TUPLE/LIST/DICT/SET
      case 't': case 'l': case 'd': case 0x91:                 // TUPLE, LIST, DICT, FROZENSET
        pop_mark();
        push();
        break;
      case 0x85: pop(1); push(); break;                        // TUPLE1
      case 0x86: pop(2); push(); break;                        // TUPLE2
      case 0x87: pop(3); push(); break;                        // TUPLE3
      case 'a': pop(1); change_top(); break;                   // APPEND
      case 's': pop(2); change_top(); break;                   // SETITEM
      case 'b': pop(1); change_top(); break;                   // BUILD
      case 'e': case 'u': case 0x90:                           // APPENDS, SETITEMS, ADDITEMS
        pop_mark();
        change_top();
        break;

      // globals and the objects made from them
      case 'c': {                                              // GLOBAL
        std::string module = line();
        push_global(module, line());
        break;
      }
      case 0x93: {                                             // STACK_GLOBAL
        const Entry name = pop();
        const Entry module = pop();
        if (module.kind != Entry::Kind::Text || name.kind != Entry::Kind::Text) {
          refuse("it names a global by computed text");
        }
        push_global(texts_[module.text], texts_[name.text]);
        break;
      }
      case 'i': {                                              // INST
        std::string module = line();
        admitted_global(module, line());  // the class, called with the marked items
        pop_mark();
        push();
        break;
      }
      case 'o':                                                // OBJ: class, then arguments
        if (stack_.size() <= fence()) damaged("a stack underflow");
        pop_mark();
        push();
        break;
      case 'R': case 0x81: pop(2); push(); break;              // REDUCE, NEWOBJ
      case 0x92: pop(3); push(); break;                        // NEWOBJ_EX

      case 'P': case 'Q': refuse("it holds a persistent id");  // PERSID, BINPERSID
      case 0x82: case 0x83: case 0x84:                         // EXT1, EXT2, EXT4
        refuse("it names an object by an extension code");

      default: {
        static const char hex[] = "0123456789abcdef";
        --pos_;
        damaged(std::string("an unknown opcode 0x") + hex[opcode >> 4] + hex[opcode & 15]);
      }
    }
  }
};

}  // namespace

void scan_pickle(const unsigned char* data, std::size_t size, const AdmittedGlobal& admitted) {
  Scanner(data, size, admitted).run();
}

}  // namespace velmora::core

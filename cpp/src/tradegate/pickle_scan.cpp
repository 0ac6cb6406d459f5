#include "velmora/core/tradegate/pickle_scan.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::core {

namespace {

// The globals whose calls the scan knows how to check; every other admitted global is a
// class (made by NEWOBJ) or a value (a score function held by a selector).
enum class Known : unsigned char {
  None, Dtype, Ndarray, Reconstruct, Scalar, Frombuffer,
  Set, Frozenset, List, Tuple, Dict, Bytes, Bytearray, Str, Int, Float, Complex, Bool, Slice, Range
};

Known known_global(std::string_view module, std::string_view name) {
  if (module == "numpy") {
    if (name == "dtype") return Known::Dtype;
    if (name == "ndarray") return Known::Ndarray;
  }
  if (module == "numpy._core.multiarray") {
    if (name == "_reconstruct") return Known::Reconstruct;
    if (name == "scalar") return Known::Scalar;
  }
  if (module == "numpy._core.numeric" && name == "_frombuffer") return Known::Frombuffer;
  if (module != "builtins") return Known::None;
  static const std::pair<std::string_view, Known> builtins[] = {
      {"set", Known::Set},     {"frozenset", Known::Frozenset}, {"list", Known::List},
      {"tuple", Known::Tuple}, {"dict", Known::Dict},           {"bytes", Known::Bytes},
      {"bytearray", Known::Bytearray}, {"str", Known::Str},     {"int", Known::Int},
      {"float", Known::Float}, {"complex", Known::Complex},     {"bool", Known::Bool},
      {"slice", Known::Slice}, {"range", Known::Range}};
  for (const auto& [text, known] : builtins) {
    if (name == text) return known;
  }
  return Known::None;
}

// What the scan knows of an object the unpickler would make.
enum class Kind : unsigned char {
  Other, None, Bool, Int, Float, Text, Bytes,
  Tuple, List, Dict, Set,
  Global,      // a named global itself
  Dtype,       // numpy.dtype(kind, False, True)
  ArrayShell,  // _reconstruct(ndarray, (0,), b'b'), waiting for its state
  Array,       // a numpy array with its data
  Scalar,      // a numpy scalar
  Instance,    // an admitted class made by NEWOBJ, waiting for (or given) its state
  Value        // anything else a builtin constructor made from literals
};

struct Node {
  Kind kind = Kind::Other;
  Known known = Known::None;  // Global: which one
  bool contained = false;     // placed in another object: no longer changed
  bool built = false;         // BUILD applied
  bool holds_objects = false;  // Dtype, ArrayShell, Array
  bool plain_items = true;     // List: every item a plain scalar (hashing stays cheap)
  bool big = false;            // Int: outside int64
  std::uint32_t depth = 0;
  std::int64_t value = 0;      // Int, Bool
  std::size_t offset = 0;      // Text, Bytes: where in the data; Global: index in names_
  std::size_t length = 0;      // Text, Bytes: bytes; List: items
  std::size_t itemsize = 0;    // Dtype
  const PickledDtype* dtype = nullptr;  // Dtype: its rule
  std::uint32_t first = 0;     // Tuple: its items, in Scanner::tuple_items_
  std::uint32_t count = 0;
  // What the object costs once every memo reference inside it is a copy of its own: itself,
  // its text or bytes, and the expanded size of everything placed in it.
  std::uint64_t expanded = 1;
};

// Node ids taken off the stack, valid until the next pop of several.
struct Ids {
  const std::uint32_t* first;
  std::size_t count;
  const std::uint32_t* begin() const { return first; }
  const std::uint32_t* end() const { return first + count; }
  std::size_t size() const { return count; }
  std::uint32_t operator[](std::size_t i) const { return first[i]; }
};

// A value whose hash the file cannot aim: text hashes are salted per process, and integers
// within 64 bits share a hash with at most a few others. Wider integers hash modulo 2^61 - 1,
// so a set of its multiples would cost the unpickler quadratic time.
bool hash_safe(const Node& node) {
  switch (node.kind) {
    case Kind::None: case Kind::Bool: case Kind::Text: return true;
    case Kind::Int: return !node.big;
    default: return false;
  }
}

bool valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    std::uint32_t min = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, min = 0x10000;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    std::uint32_t code = c & (0x3F >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

// Text of the file, as a message may show it: quoted, non-printable bytes escaped, long text
// cut, so that a name can neither forge a line of the log nor hide the rest of the message.
std::string quoted(std::string_view text) {
  constexpr std::size_t kShown = 80;
  static const char hex[] = "0123456789abcdef";
  std::string out = "'";
  for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\\' || c == '\'') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  out += text.size() > kShown ? "'..." : "'";
  return out;
}

class Scanner {
 public:
  Scanner(const unsigned char* data, std::size_t size, const PickleRules& rules)
      : data_(data), size_(size), rules_(rules),
        max_expanded_(rules.expansion_per_byte == 0
                          ? UINT64_MAX
                          : (static_cast<std::uint64_t>(size) + kExpansionSlack) * rules.expansion_per_byte) {}

  void run() {
    for (;;) {
      if (pos_ >= size_) refuse("the data ends before its STOP");
      const unsigned char opcode = data_[pos_++];
      if (opcode == '.') {  // STOP
        // The pickler leaves exactly the one object and no open mark.
        if (stack_.size() != 1 || !marks_.empty()) damaged("a STOP without exactly one object");
        return;
      }
      step(opcode);
    }
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  const PickleRules& rules_;
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> stack_;
  std::vector<std::size_t> marks_;
  std::vector<std::uint32_t> memo_;
  std::vector<std::string> names_;
  std::vector<std::uint32_t> tuple_items_;
  std::vector<std::uint32_t> popped_;
  std::uint64_t copied_ = 0;
  std::uint64_t max_expanded_;
  // Bytes added to the file's size before the multiple is taken: a tiny file may still
  // share its few dtypes and names.
  static constexpr std::uint64_t kExpansionSlack = 4096;

  [[noreturn]] void refuse(const std::string& why) const { throw RefusedPickle(why); }

  [[noreturn]] void damaged(const std::string& what) const {
    throw RefusedPickle("it is not a well-formed pickle (" + what + " at byte " +
                        std::to_string(pos_) + ")");
  }

  [[noreturn]] void unlike_a_model(const std::string& what) const {
    throw RefusedPickle("it " + what + " (at byte " + std::to_string(pos_) +
                        "), which no model file does");
  }

  // ---------------------------------------------------------------- reading the opcodes

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

  std::string_view line() {
    std::size_t end = pos_;
    while (end < size_ && data_[end] != '\n') ++end;
    if (end == size_) damaged("a text argument without its newline");
    std::string_view text(reinterpret_cast<const char*>(data_ + pos_), end - pos_);
    pos_ = end + 1;
    return text;
  }

  std::uint64_t line_index() {
    const std::string_view text = line();
    if (text.empty() || text.size() > 18) damaged("a malformed memo index");
    std::uint64_t value = 0;
    for (char c : text) {
      if (c < '0' || c > '9') damaged("a malformed memo index");
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
  }

  std::string_view text_of(const Node& node) const {
    return {reinterpret_cast<const char*>(data_ + node.offset), node.length};
  }

  // ---------------------------------------------------------------- nodes, stack, memo

  std::uint32_t make(Kind kind) {
    if (nodes_.size() >= UINT32_MAX) unlike_a_model("makes more than 2^32 objects");
    nodes_.emplace_back();
    nodes_.back().kind = kind;
    return static_cast<std::uint32_t>(nodes_.size() - 1);
  }

  Node& at(std::uint32_t id) { return nodes_[id]; }

  void push(std::uint32_t id) { stack_.push_back(id); }
  void push_new(Kind kind) { push(make(kind)); }

  void push_int(std::int64_t value, bool big = false) {
    const std::uint32_t id = make(Kind::Int);
    at(id).value = value;
    at(id).big = big;
    push(id);
  }

  void push_bool(bool value) {
    const std::uint32_t id = make(Kind::Bool);
    at(id).value = value ? 1 : 0;
    push(id);
  }

  void push_span(Kind kind, const unsigned char* start, std::uint64_t count) {
    const std::uint32_t id = make(kind);
    at(id).offset = static_cast<std::size_t>(start - data_);
    at(id).length = static_cast<std::size_t>(count);
    at(id).expanded = 1 + count;
    push(id);
  }

  // Text or bytes whose length precedes them in `width` bytes.
  void push_counted(Kind kind, int width) {
    const std::uint64_t count = unsigned_le(width);
    push_span(kind, take(count), count);
  }

  std::size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }

  std::uint32_t pop() {
    if (stack_.size() <= fence()) damaged("a stack underflow");
    const std::uint32_t id = stack_.back();
    stack_.pop_back();
    return id;
  }

  std::uint32_t top() const {
    if (stack_.size() <= fence()) damaged("a stack underflow");
    return stack_.back();
  }

  // The items above the latest mark, taken off with the mark.
  Ids pop_mark() {
    if (marks_.empty()) damaged("a missing MARK");
    popped_.assign(stack_.begin() + static_cast<std::ptrdiff_t>(marks_.back()), stack_.end());
    stack_.resize(marks_.back());
    marks_.pop_back();
    return {popped_.data(), popped_.size()};
  }

  // The top `count` entries, deepest first.
  Ids pop_some(std::size_t count) {
    popped_.resize(count);
    for (std::size_t i = count; i-- > 0;) popped_[i] = pop();
    return {popped_.data(), popped_.size()};
  }

  // The pickler numbers memo entries densely from 0; an index beyond the memo's size would
  // make the unpickler grow its memo table to that index.
  void memo_put(std::uint64_t index) {
    const std::uint32_t id = top();
    if (index < memo_.size()) {
      memo_[static_cast<std::size_t>(index)] = id;
    } else if (index == memo_.size()) {
      memo_.push_back(id);
    } else {
      unlike_a_model("stores memo entry " + std::to_string(index) + " while the memo holds " +
                     std::to_string(memo_.size()));
    }
  }

  void memo_get(std::uint64_t index) {
    if (index >= memo_.size()) damaged("an unknown memo entry");
    push(memo_[static_cast<std::size_t>(index)]);
  }

  // `child` becomes part of `parent`: from now on it is never changed, so the depth recorded
  // for it stays true, and the parent is at least one level deeper.
  void place(std::uint32_t child, std::uint32_t parent) {
    Node& c = at(child);
    c.contained = true;
    const std::uint32_t depth = c.depth + 1;
    const std::uint64_t expanded = c.expanded;
    Node& p = at(parent);  // (a reference into nodes_: nothing is made while it is held)
    // Memo references cost a few bytes each but hand the unpickled graph shared parts: a
    // comparison, a repr or a copy of such a value walks every path, which 50 levels of two
    // references each make 2^50 long. A model shares little (dtypes, repeated names), so its
    // values expand to a small multiple of the file.
    std::uint64_t sum = 0;
    p.expanded = __builtin_add_overflow(p.expanded, expanded, &sum) ? UINT64_MAX : sum;
    if (p.expanded > max_expanded_) {
      unlike_a_model("holds a value that expands to more than " +
                     std::to_string(rules_.expansion_per_byte) +
                     " times the file's size when its shared parts are copied out");
    }
    if (depth > p.depth) {
      p.depth = depth;
      if (depth > rules_.max_depth) {
        unlike_a_model("nests objects more than " + std::to_string(rules_.max_depth) +
                       " levels deep");
      }
    }
  }

  std::uint32_t make_from(Kind kind, Ids items) {
    const std::uint32_t id = make(kind);
    for (std::uint32_t item : items) place(item, id);
    return id;
  }

  // The target of APPEND(S), SETITEM(S), ADDITEMS or BUILD, once its operands are off the
  // stack: a fresh object of the expected kind that nothing holds yet.
  std::uint32_t change_target(Kind expected, const char* opcode) {
    const std::uint32_t id = top();
    const Node& target = at(id);
    if (target.kind == Kind::Global) {
      refuse("it changes " + quoted(names_[target.offset]) + " itself");
    }
    if (target.kind != expected) unlike_a_model(std::string("applies ") + opcode + " to " + described(target));
    if (target.contained) {
      unlike_a_model(std::string("applies ") + opcode + " to an object already placed in another");
    }
    return id;
  }

  std::string described(const Node& node) const {
    switch (node.kind) {
      case Kind::Global: return quoted(names_[node.offset]);
      case Kind::Tuple: return "a tuple";
      case Kind::List: return "a list";
      case Kind::Dict: return "a dictionary";
      case Kind::Set: return "a set";
      case Kind::Dtype: return "a numpy dtype";
      case Kind::ArrayShell: case Kind::Array: return "a numpy array";
      case Kind::Instance: return "an object";
      case Kind::Text: return "text";
      case Kind::Bytes: return "bytes";
      default: return "a value";
    }
  }

  // A call or state that copies `units` items or bytes of a value the file holds. Fetched
  // from the memo again and again, one stored value could be copied without end at a few
  // bytes of file each; a model file copies each of its values once at most, so all copies
  // together stay within the file's own size.
  void copies(std::uint64_t units) {
    copied_ += units;
    if (copied_ > size_) unlike_a_model("copies its stored values over and over");
  }

  void append_items(Ids items) {
    const std::uint32_t list = change_target(Kind::List, "APPEND");
    for (std::uint32_t item : items) {
      if (!hash_safe(at(item))) at(list).plain_items = false;
      place(item, list);
    }
    at(list).length += items.size();
  }

  void check_keys(Ids pairs) {
    if (pairs.size() % 2 != 0) damaged("a key without its value");
    for (std::size_t i = 0; i < pairs.size(); i += 2) {
      // Text keys only: what every dictionary of a model holds, and keys whose hashes the
      // file cannot make collide.
      if (at(pairs[i]).kind != Kind::Text) unlike_a_model("uses a dictionary key other than text");
      // scikit-learn formats a stage's version into its warning while it unpickles it,
      // before anything of ours can look at it.
      if (text_of(at(pairs[i])) == "_sklearn_version" && !version_text(at(pairs[i + 1]))) {
        unlike_a_model("gives a stage a _sklearn_version other than short version text");
      }
    }
  }

  // What scikit-learn writes as a version ("1.9.1", "1.6.dev0", "pre-0.18"): up to 64 letters,
  // digits and . + - _ !
  bool version_text(const Node& node) const {
    if (node.kind != Kind::Text || node.length == 0 || node.length > 64) return false;
    const std::string_view text = text_of(node);
    return std::all_of(text.begin(), text.end(), [](char c) {
      return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
             c == '.' || c == '+' || c == '-' || c == '_' || c == '!';
    });
  }

  void set_items(Ids pairs) {
    check_keys(pairs);
    const std::uint32_t dict = change_target(Kind::Dict, "SETITEM");
    for (std::uint32_t item : pairs) place(item, dict);
    at(dict).length += pairs.size() / 2;
  }

  void check_set_items(Ids items) {
    for (std::uint32_t item : items) {
      if (!hash_safe(at(item))) unlike_a_model("puts a set item other than a plain scalar");
    }
  }

  // ---------------------------------------------------------------- globals

  std::string checked_name(std::string_view text, const char* what) {
    if (text.find('\0') != std::string_view::npos || !valid_utf8(text)) {
      refuse(std::string("it names a global by a ") + what + " " + quoted(text) +
             " that is not UTF-8 text without NUL");
    }
    return std::string(text);
  }

  // Every global is checked where the pickle names it, before the unpickler would look it up.
  std::size_t admitted_global(std::string_view module_text, std::string_view name_text) {
    const std::string module = checked_name(module_text, "module");
    const std::string name = checked_name(name_text, "name");
    if (!rules_.admitted(module, name)) refuse("it names " + quoted(module + "." + name));
    names_.push_back(module + "." + name);
    return names_.size() - 1;
  }

  void push_global(std::string_view module, std::string_view name) {
    const std::size_t index = admitted_global(module, name);
    const std::uint32_t id = make(Kind::Global);
    at(id).offset = index;
    at(id).known = known_global(module, name);
    push(id);
  }

  // ---------------------------------------------------------------- calls

  const Node& item(const Node& tuple, std::size_t i) const {
    return nodes_[tuple_items_[tuple.first + i]];
  }

  bool is_int(const Node& node, std::int64_t value) const {
    return (node.kind == Kind::Int || node.kind == Kind::Bool) && !node.big && node.value == value;
  }

  bool is_bool(const Node& node, bool value) const {
    return node.kind == Kind::Bool && node.value == (value ? 1 : 0);
  }

  // The element count of a shape tuple of non-negative integers; 0 if it is not one, or if
  // the count overflows (no data of the file could match such a count).
  bool shape_count(const Node& shape, std::uint64_t& count) const {
    if (shape.kind != Kind::Tuple) return false;
    count = 1;
    bool overflow = false;
    for (std::size_t i = 0; i < shape.count; ++i) {
      const Node& n = item(shape, i);
      if (n.kind != Kind::Int || n.big || n.value < 0) return false;
      const auto extent = static_cast<std::uint64_t>(n.value);
      if (extent != 0 && count > UINT64_MAX / extent) overflow = true;
      count *= extent;
    }
    if (overflow && count != 0) count = UINT64_MAX;
    return true;
  }

  bool data_matches(const Node& data, std::uint64_t count, std::size_t itemsize) const {
    if (data.kind != Kind::Bytes || itemsize == 0) return false;
    return count <= data.length / itemsize && count * itemsize == data.length;
  }

  std::string signature(const Node& node) const {
    switch (node.kind) {
      case Kind::None: return "N";
      case Kind::Bool: return node.value ? "T" : "F";
      case Kind::Int: return node.big ? "?" : std::to_string(node.value);
      case Kind::Text: {
        std::string out(1, '\'');
        out.append(text_of(node));
        out.push_back('\'');
        return out;
      }
      case Kind::Tuple: {
        std::string out = "(";
        for (std::size_t i = 0; i < node.count; ++i) {
          if (i) out += ",";
          out += signature(item(node, i));
        }
        return out + ")";
      }
      default: return "?";
    }
  }

  // A builtin constructor: no arguments, or literal values of the kinds it turns into the
  // object (never a size, a count or an iterator of the file's choosing).
  bool builtin_shape(Known known, const Node& args) const {
    const std::size_t n = args.count;
    auto kinds = [&](std::initializer_list<Kind> allowed) {
      for (std::size_t i = 0; i < n; ++i) {
        if (std::find(allowed.begin(), allowed.end(), item(args, i).kind) == allowed.end()) return false;
      }
      return true;
    };
    switch (known) {
      case Known::Set: case Known::Frozenset:
        return n == 0 || (n == 1 && item(args, 0).kind == Kind::List && item(args, 0).plain_items);
      case Known::List: case Known::Tuple:
        return n == 0 || (n == 1 && kinds({Kind::List, Kind::Tuple}));
      case Known::Dict: return n == 0 || (n == 1 && kinds({Kind::Dict}));
      case Known::Bytes: case Known::Bytearray: return n == 0 || (n == 1 && kinds({Kind::Bytes}));
      case Known::Str: return n == 0 || (n == 1 && kinds({Kind::Text}));
      case Known::Int: case Known::Bool: return n <= 1 && kinds({Kind::Int, Kind::Bool});
      case Known::Float: return n <= 1 && kinds({Kind::Float, Kind::Int, Kind::Bool});
      case Known::Complex: return n <= 2 && kinds({Kind::Float, Kind::Int, Kind::Bool});
      case Known::Slice: return n >= 1 && n <= 3 && kinds({Kind::Int, Kind::Bool, Kind::None});
      case Known::Range: return n >= 1 && n <= 3 && kinds({Kind::Int, Kind::Bool});
      default: return false;
    }
  }

  // Items of a container, bytes of text or bytes: what a copy of it costs.
  static std::uint64_t size_of(const Node& node) {
    switch (node.kind) {
      case Kind::Tuple: return node.count;
      case Kind::List: case Kind::Dict: case Kind::Text: case Kind::Bytes: return node.length;
      default: return 0;
    }
  }

  const PickledDtype* dtype_rule(const Node& kind) const {
    if (kind.kind != Kind::Text) return nullptr;
    auto found = rules_.dtypes.find(std::string(text_of(kind)));
    return found == rules_.dtypes.end() ? nullptr : &found->second;
  }

  // REDUCE: callable(*args).
  void call(std::uint32_t callable_id, std::uint32_t args_id) {
    const Node& callable = at(callable_id);
    const Node& args = at(args_id);
    if (callable.kind != Kind::Global) unlike_a_model("calls " + described(callable));
    const std::string& name = names_[callable.offset];
    if (args.kind != Kind::Tuple) unlike_a_model("calls " + quoted(name) + " without an argument tuple");
    const std::size_t n = args.count;
    Kind result = Kind::Value;
    const PickledDtype* dtype = nullptr;
    switch (callable.known) {
      case Known::Dtype: {
        const PickledDtype* rule = n == 3 ? dtype_rule(item(args, 0)) : nullptr;
        if (!rule || !is_bool(item(args, 1), false) || !is_bool(item(args, 2), true)) {
          unlike_a_model("makes a numpy dtype other than the fixed-size builtin ones of a model");
        }
        result = Kind::Dtype;
        dtype = rule;
        break;
      }
      case Known::Reconstruct:
        // numpy writes an empty placeholder here; the array gets its shape and data from its
        // state, where the scan can compare the two.
        if (n != 3 || item(args, 0).kind != Kind::Global || item(args, 0).known != Known::Ndarray ||
            item(args, 1).kind != Kind::Tuple || item(args, 1).count != 1 ||
            !is_int(item(item(args, 1), 0), 0) || item(args, 2).kind != Kind::Bytes ||
            text_of(item(args, 2)) != "b") {
          unlike_a_model("calls " + quoted(name) + " other than with (numpy.ndarray, (0,), b'b')");
        }
        result = Kind::ArrayShell;
        break;
      case Known::Frombuffer: {
        std::uint64_t count = 0;
        if (n != 4 || item(args, 1).kind != Kind::Dtype || item(args, 1).holds_objects ||
            !shape_count(item(args, 2), count) ||
            !data_matches(item(args, 0), count, item(args, 1).itemsize) ||
            item(args, 3).kind != Kind::Text ||
            (text_of(item(args, 3)) != "C" && text_of(item(args, 3)) != "F")) {
          unlike_a_model("calls " + quoted(name) +
                         " other than with data of the shape's size and a non-object dtype");
        }
        copies(size_of(item(args, 0)));
        result = Kind::Array;
        break;
      }
      case Known::Scalar:
        if (n != 2 || item(args, 0).kind != Kind::Dtype || item(args, 0).holds_objects ||
            item(args, 1).kind != Kind::Bytes || item(args, 1).length != item(args, 0).itemsize) {
          unlike_a_model("calls " + quoted(name) + " other than with a non-object dtype and its bytes");
        }
        result = Kind::Scalar;
        break;
      case Known::None: case Known::Ndarray:
        unlike_a_model("calls " + quoted(name));
      default:
        if (!builtin_shape(callable.known, args)) {
          unlike_a_model("calls " + quoted(name) + " with arguments other than literal values");
        }
        if (n == 1) copies(size_of(item(args, 0)));
        break;
    }
    const std::uint32_t id = make(result);
    if (dtype) {
      at(id).dtype = dtype;
      at(id).itemsize = dtype->itemsize;
      at(id).holds_objects = dtype->holds_objects;
    }
    place(callable_id, id);
    place(args_id, id);
    push(id);
  }

  // NEWOBJ: cls.__new__(cls, *args); model files make their scikit-learn objects this way,
  // without arguments, and give them their state by BUILD.
  void new_object(std::uint32_t cls_id, std::uint32_t args_id) {
    const Node& cls = at(cls_id);
    if (cls.kind != Kind::Global) unlike_a_model("makes an object of " + described(cls));
    if (cls.known != Known::None || at(args_id).kind != Kind::Tuple || at(args_id).count != 0) {
      unlike_a_model("makes an object of " + quoted(names_[cls.offset]) + " that way");
    }
    const std::uint32_t id = make(Kind::Instance);
    place(cls_id, id);
    place(args_id, id);
    push(id);
  }

  // BUILD: the state of a dtype, an array or an object, each exactly once.
  void build() {
    const std::uint32_t state_id = pop();
    const std::uint32_t target_id = top();
    Node& target = at(target_id);
    if (target.kind == Kind::Global) refuse("it changes " + quoted(names_[target.offset]) + " itself");
    if (target.contained || target.built) {
      unlike_a_model("sets the state of an object already placed in another or given its state");
    }
    const Node& state = at(state_id);
    switch (target.kind) {
      case Kind::Dtype: {
        // The dtype is numpy's own shared one; its state may only say what numpy says of it.
        const bool matches = target.dtype && target.dtype->state == signature(state);
        if (!matches) unlike_a_model("sets a numpy dtype to a state other than its own");
        break;
      }
      case Kind::ArrayShell: {
        std::uint64_t count = 0;
        bool fits = state.kind == Kind::Tuple && state.count == 5 &&
                    is_int(item(state, 0), 1) && shape_count(item(state, 1), count) &&
                    item(state, 2).kind == Kind::Dtype && item(state, 3).kind == Kind::Bool;
        if (fits) {
          const Node& dtype = item(state, 2);
          const Node& data = item(state, 4);
          // Object arrays only from the list of their items: numpy reads raw bytes as
          // pointers otherwise.
          fits = dtype.holds_objects ? data.kind == Kind::List && data.length == count
                                     : data_matches(data, count, dtype.itemsize);
        }
        if (!fits) {
          unlike_a_model("gives a numpy array a state other than its shape, dtype and data of "
                         "that size");
        }
        copies(size_of(item(state, 4)));
        target.kind = Kind::Array;
        break;
      }
      case Kind::Instance:
        if (state.kind != Kind::Dict) unlike_a_model("gives an object a state other than a dictionary");
        break;
      default:
        unlike_a_model("applies BUILD to " + described(target));
    }
    at(target_id).built = true;
    place(state_id, target_id);
  }

  // ---------------------------------------------------------------- integers

  void push_decimal(std::string_view text) {
    if (!text.empty() && text.back() == 'L') text.remove_suffix(1);  // protocol 0's LONG
    bool negative = false;
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    std::int64_t value = 0;
    bool big = false;
    if (i == text.size()) {
      push_new(Kind::Other);  // the unpickler refuses it
      return;
    }
    for (; i < text.size(); ++i) {
      if (text[i] < '0' || text[i] > '9') {
        push_new(Kind::Other);
        return;
      }
      if (value > (INT64_MAX - 9) / 10) big = true;
      if (!big) value = value * 10 + (text[i] - '0');
    }
    push_int(negative ? -value : value, big);
  }

  void push_long(const unsigned char* bytes, std::uint64_t count) {
    if (count > 8) {
      push_int(0, true);
      return;
    }
    std::uint64_t value = 0;
    for (std::uint64_t i = count; i-- > 0;) value = (value << 8) | bytes[i];
    if (count > 0 && count < 8 && (bytes[count - 1] & 0x80)) value |= ~std::uint64_t{0} << (8 * count);
    push_int(static_cast<std::int64_t>(value));
  }

  // ---------------------------------------------------------------- the opcodes

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
      case 0x95:  // FRAME: its opcodes follow inline
        if (unsigned_le(8) > size_ - pos_) damaged("a frame that runs past the end of the data");
        break;

      // scalars
      case 'N': push_new(Kind::None); break;                                 // NONE
      case 0x88: push_bool(true); break;                                     // NEWTRUE
      case 0x89: push_bool(false); break;                                    // NEWFALSE
      case 'I': {                                                            // INT
        const std::string_view text = line();
        if (text == "00" || text == "01") {
          push_bool(text == "01");
        } else {
          push_decimal(text);
        }
        break;
      }
      case 'L': push_decimal(line()); break;                                 // LONG
      case 'F': line(); push_new(Kind::Float); break;                        // FLOAT
      case 'S': line(); push_new(Kind::Other); break;                        // STRING
      case 'V': {                                                            // UNICODE
        // raw-unicode-escaped: its bytes are not the text, so it names no global
        line();
        push_new(Kind::Other);
        break;
      }
      case 'K': push_int(static_cast<std::int64_t>(unsigned_le(1))); break;  // BININT1
      case 'M': push_int(static_cast<std::int64_t>(unsigned_le(2))); break;  // BININT2
      case 'J':                                                              // BININT
        push_int(static_cast<std::int32_t>(static_cast<std::uint32_t>(unsigned_le(4))));
        break;
      case 'G': take(8); push_new(Kind::Float); break;                       // BINFLOAT
      case 0x8a: {                                                           // LONG1
        const std::uint64_t count = unsigned_le(1);
        push_long(take(count), count);
        break;
      }
      case 0x8b: {                                                           // LONG4
        const std::uint64_t count = signed_count4();
        push_long(take(count), count);
        break;
      }
      case 'U': take(unsigned_le(1)); push_new(Kind::Other); break;          // SHORT_BINSTRING
      case 'T': take(signed_count4()); push_new(Kind::Other); break;         // BINSTRING
      case 'C': push_counted(Kind::Bytes, 1); break;                          // SHORT_BINBYTES
      case 'B': push_counted(Kind::Bytes, 4); break;                          // BINBYTES
      case 0x8e: case 0x96: push_counted(Kind::Bytes, 8); break;              // BINBYTES8, BYTEARRAY8
      case 0x8c: push_counted(Kind::Text, 1); break;                          // SHORT_BINUNICODE
      case 'X': push_counted(Kind::Text, 4); break;                           // BINUNICODE
      case 0x8d: push_counted(Kind::Text, 8); break;                          // BINUNICODE8
      case 0x97: case 0x98:                                                  // NEXT_BUFFER, READONLY_BUFFER
        unlike_a_model("asks for a buffer kept outside the file");

      // containers
      case ')': push_new(Kind::Tuple); break;                                // EMPTY_TUPLE
      case ']': push_new(Kind::List); break;                                 // EMPTY_LIST
      case '}': push_new(Kind::Dict); break;                                 // EMPTY_DICT
      case 0x8f: push_new(Kind::Set); break;                                 // EMPTY_SET
      case 't': case 0x85: case 0x86: case 0x87: {                           // TUPLE, TUPLE1-3
        const Ids items = opcode == 't' ? pop_mark() : pop_some(static_cast<std::size_t>(opcode - 0x84));
        const std::uint32_t id = make_from(Kind::Tuple, items);
        at(id).first = static_cast<std::uint32_t>(tuple_items_.size());
        at(id).count = static_cast<std::uint32_t>(items.size());
        tuple_items_.insert(tuple_items_.end(), items.begin(), items.end());
        push(id);
        break;
      }
      case 'l': {                                                            // LIST
        const Ids items = pop_mark();
        const std::uint32_t id = make(Kind::List);
        push(id);
        append_items(items);
        break;
      }
      case 'd': {                                                            // DICT
        const Ids pairs = pop_mark();
        check_keys(pairs);
        const std::uint32_t id = make_from(Kind::Dict, pairs);
        at(id).length = pairs.size() / 2;
        push(id);
        break;
      }
      case 0x91: {                                                           // FROZENSET
        const Ids items = pop_mark();
        check_set_items(items);
        push(make_from(Kind::Value, items));
        break;
      }
      case 'a': {                                                            // APPEND
        append_items(pop_some(1));
        break;
      }
      case 'e': append_items(pop_mark()); break;                             // APPENDS
      case 's': {                                                            // SETITEM
        set_items(pop_some(2));
        break;
      }
      case 'u': set_items(pop_mark()); break;                                // SETITEMS
      case 0x90: {                                                           // ADDITEMS
        const Ids items = pop_mark();
        check_set_items(items);
        const std::uint32_t set = change_target(Kind::Set, "ADDITEMS");
        for (std::uint32_t item : items) place(item, set);
        break;
      }
      case 'b': build(); break;                                              // BUILD

      // globals and the objects made from them
      case 'c': {                                                            // GLOBAL
        const std::string_view module = line();
        push_global(module, line());
        break;
      }
      case 0x93: {                                                           // STACK_GLOBAL
        const Node& name = at(pop());
        const Node& module = at(pop());
        if (module.kind != Kind::Text || name.kind != Kind::Text) {
          refuse("it names a global by computed text");
        }
        push_global(text_of(module), text_of(name));
        break;
      }
      case 'i': {                                                            // INST
        const std::string_view module = line();
        admitted_global(module, line());
        unlike_a_model("makes an object by INST");
      }
      case 'o': unlike_a_model("makes an object by OBJ");                    // OBJ
      case 0x92: unlike_a_model("makes an object by NEWOBJ_EX");             // NEWOBJ_EX
      case 'R': {                                                            // REDUCE
        const std::uint32_t args = pop();
        const std::uint32_t callable = pop();
        call(callable, args);
        break;
      }
      case 0x81: {                                                           // NEWOBJ
        const std::uint32_t args = pop();
        const std::uint32_t cls = pop();
        new_object(cls, args);
        break;
      }

      case 'P': case 'Q': refuse("it holds a persistent id");                // PERSID, BINPERSID
      case 0x82: case 0x83: case 0x84:                                       // EXT1, EXT2, EXT4
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

void scan_pickle(const unsigned char* data, std::size_t size, const PickleRules& rules) {
  Scanner(data, size, rules).run();
}

}  // namespace velmora::core

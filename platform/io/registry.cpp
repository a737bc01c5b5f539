#include "platform/io/registry.h"
#include "platform/executive/executive.h"
#include "platform/verifier/verifier.h"

#include "platform/io/io_manager.h"
#include "platform/io/names.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace qvx {

struct RegistryImpl::Key
{
    // In the case of creation. The path is the parents' names and this one: a key does not
    // keep its own (there are a few per port). A deleted key has no parent, so its name
    // becomes its whole path.
    std::u16string Name;
    Key* Parent = nullptr;
    std::map<std::u16string, std::shared_ptr<Key>> Children; // by upper-cased name
    std::vector<RegValue> Values;
    bool Deleted = false;
};

namespace {

using PathComponents = std::vector<std::u16string>;

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() && Upcase(a) == Upcase(b);
}

// Splits "A\B\C" into its components; nullopt when one is empty.
std::optional<PathComponents> SplitComponents(std::u16string_view text)
{
    PathComponents parts;
    if (text.empty()) {
        return parts;
    }
    size_t start = 0;
    while (true) {
        const size_t end = text.find(u'\\', start);
        const std::u16string_view part = text.substr(start, end - start);
        if (part.empty() || part.find(u'\0') != std::u16string_view::npos) {
            return std::nullopt;
        }
        parts.emplace_back(part);
        if (end == std::u16string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

// Hive roots as .reg files and the Windows tools write them.
std::optional<PathComponents> RootOfHive(std::u16string_view hive)
{
    const std::u16string upper = Upcase(hive);
    if (upper == u"HKEY_LOCAL_MACHINE" || upper == u"HKLM") {
        return PathComponents{u"Machine"};
    }
    if (upper == u"HKEY_USERS" || upper == u"HKU") {
        return PathComponents{u"User"};
    }
    if (upper == u"HKEY_CLASSES_ROOT" || upper == u"HKCR") {
        return PathComponents{u"Machine", u"Software", u"Classes"};
    }
    return std::nullopt;
}

// A kernel path: \Registry followed by components.
std::optional<PathComponents> ParseKernelPath(std::u16string_view text)
{
    constexpr std::u16string_view PREFIX = u"\\REGISTRY";
    if (text.size() < PREFIX.size() || Upcase(text.substr(0, PREFIX.size())) != PREFIX) {
        return std::nullopt;
    }
    text.remove_prefix(PREFIX.size());
    if (text.empty()) {
        return PathComponents{};
    }
    if (text[0] != u'\\') {
        return std::nullopt;
    }
    return SplitComponents(text.substr(1));
}

// A hive path: HKEY_LOCAL_MACHINE\... (the hive alone is allowed).
std::optional<PathComponents> ParseHivePath(std::u16string_view text)
{
    const size_t slash = text.find(u'\\');
    std::optional<PathComponents> root = RootOfHive(text.substr(0, slash));
    if (!root || slash == std::u16string_view::npos) {
        return root;
    }
    std::optional<PathComponents> rest = SplitComponents(text.substr(slash + 1));
    if (!rest || rest->empty()) {
        return std::nullopt;
    }
    root->insert(root->end(), rest->begin(), rest->end());
    return root;
}

std::optional<PathComponents> ParseAnyPath(std::u16string_view text)
{
    return !text.empty() && text[0] == u'\\' ? ParseKernelPath(text) : ParseHivePath(text);
}

std::optional<std::u16string> FromCounted(const UNICODE_STRING* text)
{
    if (text == nullptr || (text->Length & 1) != 0 || text->Length > text->MaximumLength ||
        (text->Length != 0 && text->Buffer == nullptr)) {
        return std::nullopt;
    }
    return std::u16string(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / 2);
}

std::u16string FromTerminated(PCWSTR text)
{
    return text == nullptr ? std::u16string() : std::u16string(text);
}

std::vector<UCHAR> StringBytes(std::u16string_view text)
{
    std::vector<UCHAR> bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (char16_t unit : text) {
        bytes.push_back(static_cast<UCHAR>(unit & 0xFF));
        bytes.push_back(static_cast<UCHAR>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

RegValue* FindValue(RegistryImpl::Key& key, std::u16string_view name)
{
    for (RegValue& value : key.Values) {
        if (EqualNoCase(value.Name, name)) {
            return &value;
        }
    }
    return nullptr;
}

void SetValueOf(RegistryImpl::Key& key, std::u16string_view name, ULONG type,
                std::vector<UCHAR> data)
{
    if (RegValue* value = FindValue(key, name)) {
        value->Type = type;
        value->Data = std::move(data);
    } else {
        key.Values.push_back(RegValue{std::u16string(name), type, std::move(data)});
    }
}

void MarkDeleted(RegistryImpl::Key& key, const std::u16string& path)
{
    key.Deleted = true;
    for (auto& [name, child] : key.Children) {
        MarkDeleted(*child, path + u"\\" + child->Name);
    }
    key.Name = path;
    key.Parent = nullptr;
}

// --- .reg text -------------------------------------------------------------------------

struct RegOperation
{
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } Action;
    PathComponents Key;
    std::u16string Name;
    ULONG Type;
    std::vector<UCHAR> Data;
};

struct ParseError
{
    int Line;
    std::string Message;
};

std::string_view Trim(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool ValidUtf8(std::string_view text)
{
    return Utf16ToUtf8(Utf8ToUtf16(text)) == text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

std::optional<ULONG> ParseHex32(std::string_view digits)
{
    if (digits.empty() || digits.size() > 8) {
        return std::nullopt;
    }
    ULONG value = 0;
    for (char c : digits) {
        if (!isxdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
        value = (value << 4) | ULONG(isdigit(static_cast<unsigned char>(c))
                                         ? c - '0'
                                         : tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    return value;
}

// A quoted string starting at text[pos] == '"'; on success pos is just past the closing quote.
std::optional<std::u16string> ParseQuoted(std::string_view text, size_t& pos, std::string& error)
{
    std::string raw;
    for (size_t i = pos + 1; i < text.size(); ++i) {
        if (text[i] == '"') {
            if (!ValidUtf8(raw)) {
                error = "text is not valid UTF-8";
                return std::nullopt;
            }
            pos = i + 1;
            return Utf8ToUtf16(raw);
        }
        if (text[i] == '\\') {
            if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
                error = "unknown escape in a quoted string (only \\\\ and \\\" are allowed)";
                return std::nullopt;
            }
            ++i;
        }
        raw += text[i];
    }
    error = "quoted string is not terminated";
    return std::nullopt;
}

std::optional<std::vector<UCHAR>> ParseHexBytes(std::string_view text, std::string& error)
{
    std::vector<UCHAR> bytes;
    text = Trim(text);
    if (text.empty()) {
        return bytes;
    }
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        const std::string_view token = Trim(text.substr(start, comma - start));
        const std::optional<ULONG> value = ParseHex32(token);
        if (!value || token.size() > 2) {
            error = "bad byte '" + std::string(token) + "' in hex data";
            return std::nullopt;
        }
        bytes.push_back(static_cast<UCHAR>(*value));
        if (comma == std::string_view::npos) {
            return bytes;
        }
        start = comma + 1;
    }
}

// A key line's path: a hive root, then components.
std::optional<PathComponents> ParseRegFileKey(std::string_view text)
{
    if (!ValidUtf8(text)) {
        return std::nullopt;
    }
    return ParseHivePath(Utf8ToUtf16(text));
}

// One value line (continuations already joined) under `key`.
std::optional<RegOperation> ParseValueLine(std::string_view line, const PathComponents& key,
                                           std::string& error)
{
    RegOperation op{RegOperation::SetValue, key, {}, REG_NONE, {}};
    size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else if (line[0] == '"') {
        std::optional<std::u16string> name = ParseQuoted(line, pos, error);
        if (!name) {
            return std::nullopt;
        }
        op.Name = std::move(*name);
    } else {
        error = "expected a key in brackets, a value name in quotes or @";
        return std::nullopt;
    }
    std::string_view rest = Trim(line.substr(pos));
    if (rest.empty() || rest[0] != '=') {
        error = "expected '=' after the value name";
        return std::nullopt;
    }
    rest = Trim(rest.substr(1));
    if (rest == "-") {
        op.Action = RegOperation::DeleteValue;
        return op;
    }
    if (!rest.empty() && rest[0] == '"') {
        size_t end = 0;
        std::optional<std::u16string> text = ParseQuoted(rest, end, error);
        if (!text) {
            return std::nullopt;
        }
        if (!Trim(rest.substr(end)).empty()) {
            error = "unexpected text after the closing quote";
            return std::nullopt;
        }
        op.Type = REG_SZ;
        op.Data = StringBytes(*text);
        return op;
    }
    if (StartsWithNoCase(rest, "dword:")) {
        const std::optional<ULONG> value = ParseHex32(rest.substr(6));
        if (!value) {
            error = "dword data must be 1 to 8 hexadecimal digits";
            return std::nullopt;
        }
        op.Type = REG_DWORD;
        for (int shift = 0; shift < 32; shift += 8) {
            op.Data.push_back(static_cast<UCHAR>(*value >> shift));
        }
        return op;
    }
    if (StartsWithNoCase(rest, "hex")) {
        std::string_view typeText = rest.substr(3);
        op.Type = REG_BINARY;
        if (!typeText.empty() && typeText[0] == '(') {
            const size_t close = typeText.find(')');
            const std::optional<ULONG> type = close == std::string_view::npos
                                                  ? std::nullopt
                                                  : ParseHex32(typeText.substr(1, close - 1));
            if (!type) {
                error = "hex(type) needs a hexadecimal type number";
                return std::nullopt;
            }
            op.Type = *type;
            typeText = typeText.substr(close + 1);
        }
        if (typeText.empty() || typeText[0] != ':') {
            error = "expected ':' after hex";
            return std::nullopt;
        }
        std::optional<std::vector<UCHAR>> bytes = ParseHexBytes(typeText.substr(1), error);
        if (!bytes) {
            return std::nullopt;
        }
        op.Data = std::move(*bytes);
        return op;
    }
    error = "unrecognised value data (expected \"string\", dword:, hex:, hex(n): or -)";
    return std::nullopt;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    std::istringstream stream(text);
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

// Brings the text to UTF-8: UTF-16LE with its byte-order mark is converted, a UTF-8
// byte-order mark dropped.
std::optional<std::string> DecodeText(const std::string& raw)
{
    if (raw.size() >= 2 && static_cast<UCHAR>(raw[0]) == 0xFF &&
        static_cast<UCHAR>(raw[1]) == 0xFE) {
        if (raw.size() % 2 != 0) {
            return std::nullopt;
        }
        std::u16string wide;
        for (size_t i = 2; i < raw.size(); i += 2) {
            wide += static_cast<char16_t>(static_cast<UCHAR>(raw[i]) |
                                          (static_cast<UCHAR>(raw[i + 1]) << 8));
        }
        return Utf16ToUtf8(wide);
    }
    if (raw.size() >= 2 && static_cast<UCHAR>(raw[0]) == 0xFE &&
        static_cast<UCHAR>(raw[1]) == 0xFF) {
        return std::nullopt;
    }
    if (raw.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        return raw.substr(3);
    }
    return raw;
}

std::optional<ParseError> ParseRegText(const std::string& text, std::vector<RegOperation>& ops)
{
    const std::vector<std::string> lines = SplitLines(text);
    bool header = false;
    std::optional<PathComponents> key;
    bool keyDeleted = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const int lineNumber = static_cast<int>(i + 1);
        std::string line(Trim(lines[i]));
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (!header) {
            if (line != "REGEDIT4" && line != "Windows Registry Editor Version 5.00") {
                return ParseError{lineNumber, "expected the header \"REGEDIT4\" or \"Windows "
                                              "Registry Editor Version 5.00\""};
            }
            header = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') {
                return ParseError{lineNumber, "key line does not end with ']'"};
            }
            std::string_view inner = std::string_view(line).substr(1, line.size() - 2);
            keyDeleted = !inner.empty() && inner[0] == '-';
            if (keyDeleted) {
                inner.remove_prefix(1);
            }
            key = ParseRegFileKey(inner);
            if (!key) {
                return ParseError{lineNumber, "bad key path '" + std::string(inner) +
                                                  "' (expected HKEY_LOCAL_MACHINE\\...)"};
            }
            if (keyDeleted && key->size() <= 1) {
                return ParseError{lineNumber, "a hive root cannot be deleted"};
            }
            ops.push_back(
                RegOperation{keyDeleted ? RegOperation::DeleteKey : RegOperation::CreateKey,
                             *key,
                             {},
                             REG_NONE,
                             {}});
            continue;
        }
        // A trailing backslash continues the value on the next line.
        while (line.back() == '\\') {
            if (i + 1 >= lines.size()) {
                return ParseError{lineNumber, "continuation at the end of the file"};
            }
            line.pop_back();
            line += Trim(lines[++i]);
            if (line.empty()) {
                break;
            }
        }
        if (!key) {
            return ParseError{lineNumber, "value before the first key line"};
        }
        if (keyDeleted) {
            return ParseError{lineNumber, "value under a key that is being deleted"};
        }
        if (line.empty()) {
            continue;
        }
        std::string error;
        std::optional<RegOperation> op = ParseValueLine(line, *key, error);
        if (!op) {
            return ParseError{lineNumber, error};
        }
        ops.push_back(std::move(*op));
    }
    if (!header) {
        return ParseError{lines.empty() ? 1 : static_cast<int>(lines.size()),
                          "no header line \"REGEDIT4\" or \"Windows Registry Editor Version "
                          "5.00\""};
    }
    return std::nullopt;
}

} // namespace

RegText::RegText(const char* text) : text_(Utf8ToUtf16(text != nullptr ? text : "")) {}
RegText::RegText(const std::string& text) : text_(Utf8ToUtf16(text)) {}
RegText::RegText(const char16_t* text) : text_(text != nullptr ? text : u"") {}
RegText::RegText(std::u16string text) : text_(std::move(text)) {}
RegText::RegText(std::u16string_view text) : text_(text) {}

RegistryImpl::RegistryImpl(IoSide& side)
    : side_(side), root_(std::make_shared<Key>()), nextHandle_(0x80000004)
{
    root_->Name = u"\\Registry";
    static constexpr const char16_t* KEYS[] = {
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum",
        u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
        u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP",
        u"\\Registry\\User\\.DEFAULT",
    };
    for (const char16_t* path : KEYS) {
        CreateLocked(*ParseKernelPath(path));
    }
}

RegistryImpl::~RegistryImpl() = default;

// --- Tree --------------------------------------------------------------------------------

std::shared_ptr<RegistryImpl::Key> RegistryImpl::FindLocked(const Path& path) const
{
    std::shared_ptr<Key> node = root_;
    for (const std::u16string& part : path) {
        auto it = node->Children.find(Upcase(part));
        if (it == node->Children.end()) {
            return nullptr;
        }
        node = it->second;
    }
    return node;
}

std::shared_ptr<RegistryImpl::Key> RegistryImpl::CreateLocked(const Path& path)
{
    std::shared_ptr<Key> node = root_;
    for (const std::u16string& part : path) {
        std::shared_ptr<Key>& child = node->Children[Upcase(part)];
        if (!child) {
            child = std::make_shared<Key>();
            child->Name = part;
            child->Parent = node.get();
        }
        node = child;
    }
    return node;
}

bool RegistryImpl::DeleteLocked(const Path& path)
{
    if (path.empty()) {
        return false;
    }
    const std::shared_ptr<Key> parent = FindLocked(Path(path.begin(), path.end() - 1));
    if (!parent) {
        return false;
    }
    auto it = parent->Children.find(Upcase(path.back()));
    if (it == parent->Children.end()) {
        return false;
    }
    MarkDeleted(*it->second, PathTextLocked(it->second));
    parent->Children.erase(it);
    return true;
}

std::u16string RegistryImpl::PathTextLocked(const std::shared_ptr<Key>& node) const
{
    size_t length = 0;
    for (const Key* key = node.get(); key != nullptr; key = key->Parent) {
        length += key->Name.size() + 1;
    }
    std::u16string path(length - 1, u'\\');
    for (const Key* key = node.get(); key != nullptr; key = key->Parent) {
        length -= key->Name.size() + 1;
        path.replace(length, key->Name.size(), key->Name);
    }
    return path;
}

bool RegistryImpl::CreateKey(const RegText& path)
{
    const std::optional<Path> parts = ParseAnyPath(path.Text());
    if (!parts) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    CreateLocked(*parts);
    return true;
}

bool RegistryImpl::DeleteKey(const RegText& path)
{
    const std::optional<Path> parts = ParseAnyPath(path.Text());
    std::lock_guard<std::mutex> lock(mutex_);
    return parts && DeleteLocked(*parts);
}

bool RegistryImpl::KeyExists(const RegText& path) const
{
    const std::optional<Path> parts = ParseAnyPath(path.Text());
    std::lock_guard<std::mutex> lock(mutex_);
    return parts && FindLocked(*parts) != nullptr;
}

std::vector<std::u16string> RegistryImpl::ListSubkeys(const RegText& path) const
{
    std::vector<std::u16string> names;
    const std::optional<Path> parts = ParseAnyPath(path.Text());
    std::lock_guard<std::mutex> lock(mutex_);
    const std::shared_ptr<Key> node = parts ? FindLocked(*parts) : nullptr;
    if (node) {
        for (const auto& [upper, child] : node->Children) {
            names.push_back(child->Name);
        }
    }
    return names;
}

// --- Values ------------------------------------------------------------------------------

bool RegistryImpl::SetValue(const RegText& path, const RegText& name, ULONG type,
                            std::vector<UCHAR> data)
{
    const std::optional<Path> parts = ParseAnyPath(path.Text());
    if (!parts) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    SetValueOf(*CreateLocked(*parts), name.Text(), type, std::move(data));
    return true;
}

bool RegistryImpl::SetString(const RegText& path, const RegText& name, const RegText& text,
                             ULONG type)
{
    return SetValue(path, name, type, StringBytes(text.Text()));
}

bool RegistryImpl::SetMultiString(const RegText& path, const RegText& name,
                                  const std::vector<std::u16string>& strings)
{
    std::vector<UCHAR> data;
    for (const std::u16string& text : strings) {
        const std::vector<UCHAR> bytes = StringBytes(text);
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
    data.push_back(0);
    data.push_back(0);
    return SetValue(path, name, REG_MULTI_SZ, std::move(data));
}

bool RegistryImpl::SetDword(const RegText& path, const RegText& name, ULONG value)
{
    std::vector<UCHAR> data(4);
    memcpy(data.data(), &value, 4);
    return SetValue(path, name, REG_DWORD, std::move(data));
}

bool RegistryImpl::SetQword(const RegText& path, const RegText& name, ULONGLONG value)
{
    std::vector<UCHAR> data(8);
    memcpy(data.data(), &value, 8);
    return SetValue(path, name, REG_QWORD, std::move(data));
}

bool RegistryImpl::DeleteValue(const RegText& path, const RegText& name)
{
    const std::optional<Path> parts = ParseAnyPath(path.Text());
    std::lock_guard<std::mutex> lock(mutex_);
    const std::shared_ptr<Key> node = parts ? FindLocked(*parts) : nullptr;
    RegValue* value = node ? FindValue(*node, name.Text()) : nullptr;
    if (value == nullptr) {
        return false;
    }
    node->Values.erase(node->Values.begin() + (value - node->Values.data()));
    return true;
}

std::optional<RegValue> RegistryImpl::GetValue(const RegText& path, const RegText& name) const
{
    const std::optional<Path> parts = ParseAnyPath(path.Text());
    std::lock_guard<std::mutex> lock(mutex_);
    const std::shared_ptr<Key> node = parts ? FindLocked(*parts) : nullptr;
    const RegValue* value = node ? FindValue(*node, name.Text()) : nullptr;
    if (value == nullptr) {
        return std::nullopt;
    }
    return *value;
}

std::optional<ULONG> RegistryImpl::GetDword(const RegText& path, const RegText& name) const
{
    const std::optional<RegValue> value = GetValue(path, name);
    if (!value || value->Type != REG_DWORD || value->Data.size() != 4) {
        return std::nullopt;
    }
    ULONG result;
    memcpy(&result, value->Data.data(), 4);
    return result;
}

std::optional<std::u16string> RegistryImpl::GetString(const RegText& path,
                                                      const RegText& name) const
{
    const std::optional<RegValue> value = GetValue(path, name);
    if (!value || (value->Type != REG_SZ && value->Type != REG_EXPAND_SZ)) {
        return std::nullopt;
    }
    std::u16string text;
    for (size_t i = 0; i + 1 < value->Data.size(); i += 2) {
        const auto unit = static_cast<char16_t>(value->Data[i] | (value->Data[i + 1] << 8));
        if (unit == 0) {
            break;
        }
        text += unit;
    }
    return text;
}

std::vector<RegValue> RegistryImpl::ListValues(const RegText& path) const
{
    const std::optional<Path> parts = ParseAnyPath(path.Text());
    std::lock_guard<std::mutex> lock(mutex_);
    const std::shared_ptr<Key> node = parts ? FindLocked(*parts) : nullptr;
    return node ? node->Values : std::vector<RegValue>();
}

// --- .reg files --------------------------------------------------------------------------

RegLoadResult RegistryImpl::LoadRegText(const std::string& raw)
{
    const std::optional<std::string> text = DecodeText(raw);
    if (!text) {
        return RegLoadResult{false, "line 1: unsupported encoding (use UTF-8 or UTF-16LE)", 1};
    }
    std::vector<RegOperation> ops;
    if (const std::optional<ParseError> error = ParseRegText(*text, ops)) {
        return RegLoadResult{false, "line " + std::to_string(error->Line) + ": " + error->Message,
                             error->Line};
    }
    // Everything parsed: apply it all under one lock so nobody sees half of it.
    std::lock_guard<std::mutex> lock(mutex_);
    for (RegOperation& op : ops) {
        switch (op.Action) {
        case RegOperation::CreateKey:
            CreateLocked(op.Key);
            break;
        case RegOperation::DeleteKey:
            DeleteLocked(op.Key);
            break;
        case RegOperation::SetValue:
            SetValueOf(*CreateLocked(op.Key), op.Name, op.Type, std::move(op.Data));
            break;
        case RegOperation::DeleteValue:
            if (const std::shared_ptr<Key> node = FindLocked(op.Key)) {
                if (RegValue* value = FindValue(*node, op.Name)) {
                    node->Values.erase(node->Values.begin() + (value - node->Values.data()));
                }
            }
            break;
        }
    }
    return RegLoadResult{true, {}, 0};
}

RegLoadResult RegistryImpl::LoadRegFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        const std::string reason = std::error_code(errno, std::generic_category()).message();
        return RegLoadResult{false, path + ": cannot open: " + reason, 0};
    }
    const std::string raw{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad()) {
        return RegLoadResult{false, path + ": read error", 0};
    }
    RegLoadResult result = LoadRegText(raw);
    if (!result.Ok) {
        result.Error = path + ": " + result.Error;
    }
    return result;
}

// --- Device keys, handles, faults --------------------------------------------------------

void RegistryImpl::SetDeviceKeyPath(PDEVICE_OBJECT pdo, const RegText& path)
{
    const std::optional<Path> parts = ParseAnyPath(path.Text());
    std::lock_guard<std::mutex> lock(mutex_);
    deviceKeys_[pdo] = parts ? CreateLocked(*parts) : nullptr; // no key: a path not valid
}

void RegistryImpl::SetDriverKeyPath(PDEVICE_OBJECT pdo, const RegText& path)
{
    const std::optional<Path> parts = ParseAnyPath(path.Text());
    std::lock_guard<std::mutex> lock(mutex_);
    driverKeys_[pdo] = parts ? CreateLocked(*parts) : nullptr;
}

void RegistryImpl::ClearDeviceKeyPaths(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> lock(mutex_);
    deviceKeys_.erase(pdo);
    driverKeys_.erase(pdo);
}

std::vector<RegOpenHandle> RegistryImpl::OpenHandles() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<RegOpenHandle> result;
    for (const auto& [value, handle] : handles_) {
        result.push_back(
            {reinterpret_cast<HANDLE>(value), handle.Path, handle.Access, handle.Owner});
    }
    return result;
}

void RegistryImpl::InjectFailure(RegistryFault fault, ULONG nth, NTSTATUS status)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.Inject(fault, nth, status);
}

void RegistryImpl::ClearFailures()
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.Clear();
}

HANDLE RegistryImpl::OpenHandleLocked(std::shared_ptr<Key> node, ACCESS_MASK access)
{
    const uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    std::u16string path = PathTextLocked(node);
    handles_[value] = Handle{std::move(node), std::move(path), access, RunningDriver()};
    return reinterpret_cast<HANDLE>(value);
}

// --- Kernel face -------------------------------------------------------------------------

NTSTATUS RegistryImpl::OpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                               POBJECT_ATTRIBUTES objectAttributes)
{
    CheckIrqlCeiling("ZwOpenKey");
    if (keyHandle == nullptr || objectAttributes == nullptr ||
        objectAttributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((objectAttributes->Attributes & OBJ_KERNEL_HANDLE) == 0 && InApplicationContext()) {
        // The handle would land in the application's handle table, where the application
        // can use or close it.
        VerifierReport(Rule::KERNEL_HANDLE_IN_CALLER_CONTEXT,
                       "ZwOpenKey without OBJ_KERNEL_HANDLE in the context of an application's "
                       "request");
    }
    const std::optional<std::u16string> name = FromCounted(objectAttributes->ObjectName);
    if (!name) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    NTSTATUS injected;
    if (faults_.Consume(RegistryFault::OpenKey, &injected)) {
        return injected;
    }
    std::shared_ptr<Key> node;
    if (objectAttributes->RootDirectory != nullptr) {
        auto it = handles_.find(reinterpret_cast<uintptr_t>(objectAttributes->RootDirectory));
        if (it == handles_.end()) {
            lock.unlock();
            VerifierReport(Rule::INVALID_KERNEL_HANDLE,
                           "ZwOpenKey relative to %p, which is not an open registry key",
                           objectAttributes->RootDirectory);
            return STATUS_INVALID_HANDLE;
        }
        if (it->second.Node->Deleted) {
            return STATUS_KEY_DELETED;
        }
        if (!name->empty() && (*name)[0] == u'\\') {
            return STATUS_OBJECT_NAME_INVALID;
        }
        const std::optional<Path> parts = SplitComponents(*name);
        if (!parts) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        node = it->second.Node;
        for (const std::u16string& part : *parts) {
            auto child = node->Children.find(Upcase(part));
            if (child == node->Children.end()) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            node = child->second;
        }
    } else {
        if (name->empty() || (*name)[0] != u'\\') {
            return STATUS_OBJECT_NAME_INVALID;
        }
        const std::optional<Path> parts = ParseKernelPath(*name);
        node = parts ? FindLocked(*parts) : nullptr;
        if (!node) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }
    *keyHandle = OpenHandleLocked(std::move(node), desiredAccess);
    return STATUS_SUCCESS;
}

NTSTATUS RegistryImpl::QueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                                     KEY_VALUE_INFORMATION_CLASS informationClass,
                                     PVOID information, ULONG length, PULONG resultLength)
{
    CheckIrqlCeiling("ZwQueryValueKey");
    if (informationClass != KeyValuePartialInformation || resultLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::optional<std::u16string> name = FromCounted(valueName);
    if (!name) {
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = handles_.find(reinterpret_cast<uintptr_t>(keyHandle));
    if (it == handles_.end()) {
        lock.unlock();
        VerifierReport(Rule::INVALID_KERNEL_HANDLE,
                       "ZwQueryValueKey on %p, which is not an open registry key", keyHandle);
        return STATUS_INVALID_HANDLE;
    }
    Key& key = *it->second.Node;
    if (key.Deleted) {
        return STATUS_KEY_DELETED;
    }
    const RegValue* value = FindValue(key, *name);
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    constexpr ULONG HEADER = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const auto dataLength = static_cast<ULONG>(value->Data.size());
    *resultLength = HEADER + dataLength;
    if (length < HEADER) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (information == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG fields[3] = {0, value->Type, dataLength}; // TitleIndex, Type, DataLength
    memcpy(information, fields, HEADER);
    const ULONG copied = std::min(length - HEADER, dataLength);
    if (copied != 0) {
        memcpy(static_cast<UCHAR*>(information) + HEADER, value->Data.data(), copied);
    }
    return copied == dataLength ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS RegistryImpl::Close(HANDLE handle)
{
    CheckIrqlCeiling("ZwClose");
    std::unique_lock<std::mutex> lock(mutex_);
    if (handles_.erase(reinterpret_cast<uintptr_t>(handle)) == 0) {
        lock.unlock();
        VerifierReport(Rule::INVALID_KERNEL_HANDLE, "ZwClose(%p): not an open handle", handle);
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RegistryImpl::ResolveRelativeLocked(ULONG relativeTo, PCWSTR path, bool create,
                                             std::shared_ptr<Key>* node)
{
    if ((relativeTo & RTL_REGISTRY_HANDLE) != 0) {
        auto it = handles_.find(reinterpret_cast<uintptr_t>(path));
        if (it == handles_.end()) {
            return STATUS_INVALID_HANDLE;
        }
        if (it->second.Node->Deleted) {
            return STATUS_KEY_DELETED;
        }
        *node = it->second.Node;
        return STATUS_SUCCESS;
    }
    static const char16_t* const bases[] = {
        u"",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
        u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
        u"\\Registry\\Machine\\Hardware\\DeviceMap",
        u"\\Registry\\User\\.DEFAULT"};
    const ULONG base = relativeTo & ~ULONG(RTL_REGISTRY_OPTIONAL);
    if (base >= RTL_REGISTRY_MAXIMUM || path == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // A path that starts with a backslash is absolute whatever RelativeTo says.
    std::u16string full = FromTerminated(path);
    if (base != RTL_REGISTRY_ABSOLUTE && (full.empty() || full[0] != u'\\')) {
        full = full.empty() ? std::u16string(bases[base]) : bases[base] + (u"\\" + full);
    }
    const std::optional<Path> parts = ParseKernelPath(full);
    if (!parts) {
        return full.empty() || full[0] != u'\\' ? STATUS_OBJECT_NAME_INVALID
                                                : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if ((*node = FindLocked(*parts))) {
        return STATUS_SUCCESS;
    }
    // Only the last component may be created, as with ZwCreateKey.
    if (!create || parts->empty() || !FindLocked(Path(parts->begin(), parts->end() - 1))) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *node = CreateLocked(*parts);
    return STATUS_SUCCESS;
}

NTSTATUS RegistryImpl::WriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName,
                                          ULONG type, PVOID data, ULONG length)
{
    CheckIrqlCeiling("RtlWriteRegistryValue");
    if (data == nullptr && length != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    NTSTATUS status;
    if (faults_.Consume(RegistryFault::WriteValue, &status)) {
        return status;
    }
    std::shared_ptr<Key> node;
    status = ResolveRelativeLocked(relativeTo, path, true, &node);
    if (status == STATUS_INVALID_HANDLE) {
        lock.unlock();
        VerifierReport(Rule::INVALID_KERNEL_HANDLE,
                       "RtlWriteRegistryValue with RTL_REGISTRY_HANDLE %p: not an open key",
                       static_cast<const void*>(path));
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const auto* bytes = static_cast<const UCHAR*>(data);
    SetValueOf(*node, FromTerminated(valueName), type,
               length != 0 ? std::vector<UCHAR>(bytes, bytes + length) : std::vector<UCHAR>());
    return STATUS_SUCCESS;
}

NTSTATUS RegistryImpl::DeleteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName)
{
    CheckIrqlCeiling("RtlDeleteRegistryValue");
    std::unique_lock<std::mutex> lock(mutex_);
    std::shared_ptr<Key> node;
    const NTSTATUS status = ResolveRelativeLocked(relativeTo, path, false, &node);
    if (status == STATUS_INVALID_HANDLE) {
        lock.unlock();
        VerifierReport(Rule::INVALID_KERNEL_HANDLE,
                       "RtlDeleteRegistryValue with RTL_REGISTRY_HANDLE %p: not an open key",
                       static_cast<const void*>(path));
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RegValue* value = FindValue(*node, FromTerminated(valueName));
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    node->Values.erase(node->Values.begin() + (value - node->Values.data()));
    return STATUS_SUCCESS;
}

NTSTATUS RegistryImpl::OpenDeviceRegistryKey(PDEVICE_OBJECT pdo, ULONG keyType,
                                             ACCESS_MASK desiredAccess, PHANDLE keyHandle)
{
    CheckIrqlCeiling("IoOpenDeviceRegistryKey");
    if (keyHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<PDEVICE_OBJECT, std::shared_ptr<Key>>* paths =
        keyType == PLUGPLAY_REGKEY_DEVICE   ? &deviceKeys_
        : keyType == PLUGPLAY_REGKEY_DRIVER ? &driverKeys_
                                            : nullptr;
    auto it = paths ? paths->find(pdo) : deviceKeys_.end();
    if (paths == nullptr || it == paths->end()) {
        return STATUS_INVALID_PARAMETER; // a bad flag, or not a PDO the PnP manager made
    }
    NTSTATUS injected;
    if (faults_.Consume(RegistryFault::OpenDeviceKey, &injected)) {
        return injected;
    }
    if (it->second == nullptr) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    // The PnP manager creates a missing device key on first open.
    if (it->second->Deleted) {
        const std::optional<Path> parts = ParseAnyPath(PathTextLocked(it->second));
        if (!parts) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        it->second = CreateLocked(*parts);
    }
    *keyHandle = OpenHandleLocked(it->second, desiredAccess);
    return STATUS_SUCCESS;
}

} // namespace qvx

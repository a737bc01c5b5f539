#include "host/configuration.h"

#include "host/peers/peer_factory.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

namespace qvx {

namespace {

const std::string MACHINE = "hkey_local_machine\\";
const std::string SERVICE_KEY = "system\\currentcontrolset\\services\\quarvex";
const std::string SERVICES = "system\\currentcontrolset\\services\\";
const std::string PORTS_PREFIX = "system\\currentcontrolset\\enum\\root\\ports\\";
const std::string PARAMETERS = "device parameters";

// The values read from each key: the driver's and the peers' own, and those Windows keeps in
// a service's key (a key exported from Windows holds them).
const std::vector<std::string> PORT_VALUES = {"PortName", "Peer"};
const std::vector<std::string> SERVICE_VALUES = {"ComPeriod",    "Type",       "Start",
                                                 "ErrorControl", "ImagePath",  "DisplayName",
                                                 "Group",        "Description"};
// The driver refuses periods outside this at open and keeps the one in force.
constexpr unsigned long LONGEST_PERIOD_MS = 429496;

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return std::string();
    }
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

size_t Distance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string Nearest(const std::string& name, const std::vector<std::string>& known)
{
    std::string best = known.front();
    for (const std::string& candidate : known) {
        if (Distance(name, candidate) < Distance(name, best)) {
            best = candidate;
        }
    }
    return best;
}

void AppendUtf8(uint32_t code, std::string* out)
{
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// UTF-16 LE after its byte-order mark; FALSE at an odd length or a lone surrogate.
bool Utf16ToUtf8(const std::string& raw, std::string* text)
{
    if (raw.size() % 2 != 0) {
        return false;
    }
    text->clear();
    for (size_t i = 2; i < raw.size(); i += 2) {
        uint32_t unit = static_cast<uint8_t>(raw[i]) | (static_cast<uint8_t>(raw[i + 1]) << 8);
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 3 >= raw.size()) {
                return false;
            }
            const uint32_t low =
                static_cast<uint8_t>(raw[i + 2]) | (static_cast<uint8_t>(raw[i + 3]) << 8);
            if (low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        AppendUtf8(unit, text);
    }
    return true;
}

// A value line: "Name"=data or @=data; the name with its escapes undone and the data as
// written. FALSE when the line is not one (the registry loader reports it).
bool ValueLine(const std::string& line, std::string* name, std::string* data)
{
    size_t at = 1;
    name->clear();
    if (line[0] == '"') {
        for (; at < line.size() && line[at] != '"'; ++at) {
            if (line[at] == '\\' && at + 1 < line.size()) {
                ++at;
            }
            name->push_back(line[at]);
        }
        if (at >= line.size()) {
            return false;
        }
        ++at;
    } else if (line[0] != '@') {
        return false;
    }
    const std::string rest = Trim(line.substr(at));
    if (rest.empty() || rest[0] != '=') {
        return false;
    }
    *data = Trim(rest.substr(1));
    return true;
}

// A string value's text ("..." with .reg escapes); FALSE for any other type.
bool StringData(const std::string& data, std::string* text)
{
    if (data.size() < 2 || data.front() != '"' || data.back() != '"') {
        return false;
    }
    text->clear();
    for (size_t i = 1; i + 1 < data.size(); ++i) {
        if (data[i] == '\\' && i + 2 < data.size()) {
            ++i;
        }
        text->push_back(data[i]);
    }
    return true;
}

enum class Section { Other, Service, Port };

class Scanner
{
  public:
    Scanner(const std::string& name, std::vector<ConfiguredPort>* ports, std::string* error)
        : name_(name), ports_(ports), error_(error)
    {
    }

    bool Line(int number, const std::string& line)
    {
        line_ = number;
        if (line.empty() || line[0] == ';') {
            return true;
        }
        if (line[0] == '[') {
            return Key(line.back() == ']' ? line.substr(1, line.size() - 2) : line.substr(1));
        }
        std::string valueName;
        std::string data;
        if (section_ == Section::Other || !ValueLine(line, &valueName, &data) || data == "-") {
            return true;
        }
        const auto [seen, first] = values_.emplace(Lower(valueName), number);
        if (!first) {
            return Fail("a second \"" + MessageText(valueName) +
                        "\" in this key (the first is at line " + std::to_string(seen->second) +
                        ")");
        }
        return section_ == Section::Port ? PortValue(valueName, data)
                                         : ServiceValue(valueName, data);
    }

    bool Finish()
    {
        std::map<std::string, int> names;
        for (const ConfiguredPort& port : *ports_) {
            line_ = port.SectionLine;
            if (port.PortName.empty()) {
                return Fail("this port has no \"PortName\"");
            }
            const auto [it, inserted] = names.emplace(Lower(port.PortName), port.SectionLine);
            if (!inserted) {
                return Fail("port name " + port.PortName + " is already used by the port at line " +
                            std::to_string(it->second));
            }
        }
        return true;
    }

  private:
    bool Fail(const std::string& message)
    {
        *error_ = AtLine(name_, line_, message);
        return false;
    }

    bool Key(const std::string& written)
    {
        section_ = Section::Other;
        values_.clear();
        std::string key = Lower(written);
        if (key.compare(0, 5, "hklm\\") == 0) {
            key = MACHINE + key.substr(5);
        }
        if (key.compare(0, MACHINE.size(), MACHINE) != 0) {
            return true;
        }
        key = key.substr(MACHINE.size());
        if (key == SERVICE_KEY) {
            section_ = Section::Service;
            return true;
        }
        if (key.compare(0, SERVICES.size(), SERVICES) == 0 &&
            key.find('\\', SERVICES.size()) == std::string::npos &&
            Distance(key.substr(SERVICES.size()), "quarvex") <= 2) {
            return Fail("unknown key \"" + MessageText(written) +
                        "\"; the driver's own is ...\\Services\\Quarvex");
        }
        if (key.compare(0, PORTS_PREFIX.size(), PORTS_PREFIX) != 0) {
            return true;
        }
        const std::string below = key.substr(PORTS_PREFIX.size());
        const size_t slash = below.find('\\');
        if (slash == std::string::npos) {
            return true; // the instance key itself
        }
        const std::string instance = below.substr(0, slash);
        const std::string rest = below.substr(slash + 1);
        if (rest != PARAMETERS) {
            if (Distance(rest.substr(0, rest.find('\\')), PARAMETERS) <= 3 ||
                rest.find(PARAMETERS) != std::string::npos) {
                return Fail("a port's key is Enum\\Root\\PORTS\\<instance>\\Device Parameters, "
                            "not \"" +
                            MessageText(written) + "\"");
            }
            return true;
        }
        if (ports_->size() >= MAX_CONFIGURED_PORTS) {
            return Fail("more than " + std::to_string(MAX_CONFIGURED_PORTS) +
                        " ports; a configuration holds at most that many");
        }
        const auto [it, first] = instances_.emplace(instance, line_);
        if (!first) {
            return Fail("a second key for the port instance " + MessageText(instance) +
                        " (the first is at line " + std::to_string(it->second) + ")");
        }
        ports_->push_back(ConfiguredPort{below.substr(0, slash), line_, "", "", 0});
        // The instance as written, not lower-cased.
        const std::string original = written.substr(written.size() - below.size());
        ports_->back().Instance = original.substr(0, slash);
        section_ = Section::Port;
        return true;
    }

    bool PortValue(const std::string& valueName, const std::string& data)
    {
        ConfiguredPort& port = ports_->back();
        const std::string lower = Lower(valueName);
        std::string text;
        if (lower == "portname") {
            if (!StringData(data, &text)) {
                return Fail("\"PortName\" must be a string, as \"PortName\"=\"COM5\"");
            }
            if (!IsPortName(text)) {
                return Fail("\"" + MessageText(text) + "\" is not a port name (" + PORT_NAME_RULE +
                            ")");
            }
            port.PortName = text;
            return true;
        }
        if (lower == "peer") {
            std::string problem;
            if (!StringData(data, &text)) {
                return Fail("\"Peer\" must be a string, as \"Peer\"=\"loopback\"");
            }
            if (!CheckPeerDescription(text, &problem)) {
                return Fail(problem);
            }
            port.Peer = text;
            port.PeerLine = line_;
            return true;
        }
        return Fail("unknown value name \"" + MessageText(valueName) +
                    "\" in a port's key; the nearest known name is \"" +
                    Nearest(valueName, PORT_VALUES) + "\"");
    }

    bool ServiceValue(const std::string& valueName, const std::string& data)
    {
        const std::string nearest = Nearest(valueName, SERVICE_VALUES);
        if (Lower(valueName) != Lower(nearest)) {
            return Fail("unknown value name \"" + MessageText(valueName) +
                        "\" in the driver's key; the nearest known name is \"" + nearest + "\"");
        }
        if (Lower(valueName) != "comperiod") {
            return true;
        }
        const std::string lower = Lower(data);
        const std::string digits = lower.compare(0, 6, "dword:") == 0 ? lower.substr(6) : "";
        const unsigned long period =
            !digits.empty() && digits.size() <= 8 &&
                    digits.find_first_not_of("0123456789abcdef") == std::string::npos
                ? std::stoul(digits, nullptr, 16)
                : 0;
        if (period < 1 || period > LONGEST_PERIOD_MS) {
            return Fail("\"ComPeriod\" must be a dword from 1 to " +
                        std::to_string(LONGEST_PERIOD_MS) +
                        " milliseconds, as \"ComPeriod\"=dword:00000014");
        }
        return true;
    }

    const std::string& name_;
    std::vector<ConfiguredPort>* ports_;
    std::string* error_;
    int line_ = 0;
    Section section_ = Section::Other;
    std::map<std::string, int> values_;    // of the current key, lower-cased
    std::map<std::string, int> instances_; // lower-cased
};

} // namespace

std::string AtLine(const std::string& name, int line, const std::string& message)
{
    return name.empty() ? message : name + ":" + std::to_string(line) + ": " + message;
}

bool DecodeConfiguration(const std::string& raw, const std::string& name, std::string* text,
                         std::string* error)
{
    const std::string where = name.empty() ? std::string("the configuration") : name;
    if (raw.size() > MAX_CONFIGURATION_BYTES) {
        *error =
            where + ": larger than " + std::to_string(MAX_CONFIGURATION_BYTES) + " bytes; not read";
        return false;
    }
    const auto byte = [&raw](size_t i) { return static_cast<uint8_t>(raw[i]); };
    if (raw.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
        if (!Utf16ToUtf8(raw, text)) {
            *error = where + ": not valid UTF-16 (an odd length or a lone surrogate)";
            return false;
        }
        return true;
    }
    if (raw.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF) {
        *error = where + ": UTF-16 big-endian; save it as UTF-16 LE (the registry editor's "
                         "Unicode) or UTF-8";
        return false;
    }
    if (raw.find('\0') != std::string::npos) {
        *error = where + ": holds NUL bytes; UTF-16 needs its byte-order mark";
        return false;
    }
    *text = raw.compare(0, 3, "\xEF\xBB\xBF") == 0 ? raw.substr(3) : raw;
    return true;
}

bool ScanConfiguration(const std::string& text, const std::string& name,
                       std::vector<ConfiguredPort>* ports, std::string* error)
{
    Scanner scanner(name, ports, error);
    std::istringstream input(text);
    std::string raw;
    int number = 0;
    bool continued = false;
    while (std::getline(input, raw)) {
        ++number;
        const std::string line = Trim(raw);
        // The rest of a value continued with a backslash is not a line of its own.
        const bool continues = !line.empty() && line.back() == '\\';
        if (!continued && !scanner.Line(number, line)) {
            return false;
        }
        continued = continues;
    }
    return scanner.Finish();
}

} // namespace qvx

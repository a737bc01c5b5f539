// The "Peer" value: the Linux configuration's grammar, read the way the Linux peers read it so
// that a value means the same on both systems (a test compares the two parsers).

#include "kpeer/peer_core.h"

namespace {

struct Span
{
    PCWSTR Text;
    ULONG Length;
};

constexpr ULONG NOT_FOUND = MAXULONG;
constexpr ULONG MAX_DECIMAL_DIGITS = 10;
constexpr ULONG MAX_HOST_CHARS = 253;
constexpr ULONG MAX_TCP_PORT = 65535;
constexpr ULONG MIN_RETRY_MS = 10;
constexpr ULONG MAX_RETRY_MS = 60000;

Span Sub(Span Whole, ULONG Start, ULONG End)
{
    return Span{Whole.Text + Start, End - Start};
}

ULONG Find(Span Text, WCHAR Character, bool Last)
{
    ULONG found = NOT_FOUND;
    for (ULONG i = 0; i < Text.Length; ++i) {
        if (Text.Text[i] == Character) {
            found = i;
            if (!Last) {
                break;
            }
        }
    }
    return found;
}

bool Is(Span Text, PCSTR Literal)
{
    ULONG i = 0;
    for (; Literal[i] != '\0'; ++i) {
        if (i >= Text.Length || Text.Text[i] != static_cast<WCHAR>(Literal[i])) {
            return false;
        }
    }
    return i == Text.Length;
}

// A decimal number without sign or spaces, at most Maximum.
bool ParseNumber(Span Text, ULONG Maximum, ULONG* Value)
{
    if (Text.Length == 0 || Text.Length > MAX_DECIMAL_DIGITS) {
        return false;
    }
    ULONGLONG result = 0;
    for (ULONG i = 0; i < Text.Length; ++i) {
        const WCHAR c = Text.Text[i];
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + static_cast<ULONGLONG>(c - '0');
    }
    if (result > Maximum) {
        return false;
    }
    *Value = static_cast<ULONG>(result);
    return true;
}

bool ValidHost(Span Host)
{
    if (Host.Length == 0 || Host.Length > MAX_HOST_CHARS) {
        return false;
    }
    for (ULONG i = 0; i < Host.Length; ++i) {
        const WCHAR c = Host.Text[i];
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// "host:port", or "port" alone when HostOptional. Only checked: the program that serves the
// port connects.
PCSTR CheckAddress(Span Text, bool HostOptional)
{
    const ULONG colon = Find(Text, ':', true);
    Span port = Text;
    if (colon != NOT_FOUND) {
        if (!ValidHost(Sub(Text, 0, colon))) {
            return "bad host name";
        }
        port = Sub(Text, colon + 1, Text.Length);
    } else if (!HostOptional) {
        return "needs host:port";
    }
    ULONG number = 0;
    if (!ParseNumber(port, MAX_TCP_PORT, &number) || number == 0) {
        return "bad TCP port (1 to 65535)";
    }
    return NULL;
}

struct KindName
{
    PCSTR Name;
    ULONG Kind;
    ULONG Network;
    bool NeedsArgument;
};

// pty is known so that it is named in the reason rather than called unknown.
constexpr ULONG KIND_PTY = MAXULONG;

constexpr KindName KINDS[] = {
    {"none", QVXPEER_KIND_NONE, QVXPEER_NETWORK_NONE, false},
    {"loopback", QVXPEER_KIND_LOOPBACK, QVXPEER_NETWORK_NONE, false},
    {"pair", QVXPEER_KIND_PAIR, QVXPEER_NETWORK_NONE, true},
    {"pty", KIND_PTY, QVXPEER_NETWORK_NONE, true},
    {"tcp-client", QVXPEER_KIND_USER, QVXPEER_NETWORK_TCP_CLIENT, true},
    {"tcp-server", QVXPEER_KIND_USER, QVXPEER_NETWORK_TCP_SERVER, true},
    {"rfc2217", QVXPEER_KIND_USER, QVXPEER_NETWORK_RFC2217, true},
    {"bridge", QVXPEER_KIND_USER, QVXPEER_NETWORK_BRIDGE, false},
};

// COM1 to COM4096 in any case: the one rule of port names in configurations and tools.
bool IsPortName(Span Name)
{
    if (Name.Length < 4 || Name.Length > 7) {
        return false;
    }
    const char prefix[] = "COM";
    for (ULONG i = 0; i < 3; ++i) {
        const WCHAR c = Name.Text[i];
        if (c != static_cast<WCHAR>(prefix[i]) && c != static_cast<WCHAR>(prefix[i] + 32)) {
            return false;
        }
    }
    ULONG number = 0;
    for (ULONG i = 3; i < Name.Length; ++i) {
        const WCHAR c = Name.Text[i];
        if (c < '0' || c > '9' || (i == 3 && c == '0')) {
            return false;
        }
        number = number * 10 + static_cast<ULONG>(c - '0');
    }
    return number <= 4096;
}

PCSTR ParseArgument(const KindName& Kind, Span Argument, PeerConfig* Config)
{
    if (Kind.Kind == KIND_PTY) {
        return "pty has no meaning on Windows";
    }
    if (Kind.Kind == QVXPEER_KIND_PAIR) {
        if (!IsPortName(Argument)) {
            return "pair names no port (COM1 to COM4096)";
        }
        for (ULONG i = 0; i < Argument.Length; ++i) {
            Config->PairName[i] = Argument.Text[i];
        }
        Config->PairName[Argument.Length] = 0;
        return NULL;
    }
    switch (Kind.Network) {
    case QVXPEER_NETWORK_TCP_CLIENT:
    case QVXPEER_NETWORK_RFC2217:
        return CheckAddress(Argument, false);
    case QVXPEER_NETWORK_TCP_SERVER:
        return CheckAddress(Argument, true);
    default:
        return NULL;
    }
}

PCSTR ParseOption(Span Option, PeerConfig* Config)
{
    const bool cable = Config->Kind == QVXPEER_KIND_LOOPBACK || Config->Kind == QVXPEER_KIND_PAIR;
    const bool dials =
        Config->Network == QVXPEER_NETWORK_TCP_CLIENT || Config->Network == QVXPEER_NETWORK_RFC2217;
    const ULONG equals = Find(Option, '=', false);
    const bool hasValue = equals != NOT_FOUND;
    const Span name = hasValue ? Sub(Option, 0, equals) : Option;
    const Span value = hasValue ? Sub(Option, equals + 1, Option.Length) : Span{Option.Text, 0};
    ULONG number = 0;
    if (Is(name, "line-speed") && !hasValue && cable) {
        Config->LineSpeed = TRUE;
        return NULL;
    }
    if (Is(name, "xonxoff") && !hasValue) {
        Config->XonXoff = TRUE;
        return NULL;
    }
    if (Is(name, "buffer") && hasValue) {
        if (!ParseNumber(value, PEER_MAX_BUFFER, &number) || number < PEER_MIN_BUFFER) {
            return "bad buffer size (1024 to 1073741824 bytes)";
        }
        Config->BufferBytes = number;
        return NULL;
    }
    if (Is(name, "retry") && hasValue && dials) {
        if (!ParseNumber(value, MAX_RETRY_MS, &number) || number < MIN_RETRY_MS) {
            return "bad retry interval (10 to 60000 ms)";
        }
        return NULL;
    }
    return "unknown or misplaced option";
}

PCSTR Parse(Span Text, PeerConfig* Config)
{
    ULONG end = Find(Text, ',', false);
    const Span head = Sub(Text, 0, end == NOT_FOUND ? Text.Length : end);
    const ULONG colon = Find(head, ':', false);
    const Span kind = colon == NOT_FOUND ? head : Sub(head, 0, colon);
    const KindName* found = NULL;
    for (const KindName& entry : KINDS) {
        if (Is(kind, entry.Name)) {
            found = &entry;
        }
    }
    if (found == NULL) {
        return "unknown peer kind";
    }
    if (!found->NeedsArgument && colon != NOT_FOUND) {
        return "this kind takes no argument";
    }
    const Span argument =
        colon == NOT_FOUND ? Span{head.Text, 0} : Sub(head, colon + 1, head.Length);
    if (found->NeedsArgument && argument.Length == 0) {
        return "this kind needs an argument";
    }
    Config->Kind = found->Kind;
    Config->Network = found->Network;
    PCSTR reason = ParseArgument(*found, argument, Config);
    if (reason != NULL) {
        return reason;
    }
    bool options = false;
    while (end != NOT_FOUND) {
        const Span rest = Sub(Text, end + 1, Text.Length);
        const ULONG next = Find(rest, ',', false);
        reason = ParseOption(Sub(rest, 0, next == NOT_FOUND ? rest.Length : next), Config);
        if (reason != NULL) {
            return reason;
        }
        options = true;
        end = next == NOT_FOUND ? NOT_FOUND : end + 1 + next;
    }
    if (Config->Kind == QVXPEER_KIND_NONE && options) {
        return "none takes no options";
    }
    return NULL;
}

} // namespace

PCSTR QuarvexPeerParseConfig(PCWSTR Text, ULONG Length, PeerConfig* Config)
{
    RtlZeroMemory(Config, sizeof(*Config));
    const PCSTR reason = Parse(Span{Text, Length}, Config);
    if (reason != NULL) {
        RtlZeroMemory(Config, sizeof(*Config));
    }
    return reason;
}

BOOLEAN QuarvexPeerValidName(PCWSTR Name, ULONG Length)
{
    if (Length == 0 || Length > PEER_MAX_NAME_CHARS) {
        return FALSE;
    }
    for (ULONG i = 0; i < Length; ++i) {
        if (Name[i] <= ' ' || Name[i] > '~' || Name[i] == '\\') {
            return FALSE;
        }
    }
    return TRUE;
}

BOOLEAN QuarvexPeerNamesEqual(PCWSTR A, PCWSTR B)
{
    for (ULONG i = 0;; ++i) {
        WCHAR a = A[i];
        WCHAR b = B[i];
        if (a >= 'a' && a <= 'z') {
            a = static_cast<WCHAR>(a - 'a' + 'A');
        }
        if (b >= 'a' && b <= 'z') {
            b = static_cast<WCHAR>(b - 'a' + 'A');
        }
        if (a != b) {
            return FALSE;
        }
        if (a == 0) {
            return TRUE;
        }
    }
}

// DCB <-> driver structures and BuildCommDCB's parser: no I/O.
#include "host/win32/comm_map.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace qvx::win32 {

DCB DcbFromSettings(const SerialSettings& settings)
{
    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    const DWORD shake = settings.Handflow.ControlHandShake;
    const DWORD replace = settings.Handflow.FlowReplace;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = settings.BaudRate;
    dcb.fBinary = 1;
    // Windows reports fParity FALSE whatever the parity.
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = (shake & SERIAL_CTS_HANDSHAKE) != 0;
    dcb.fOutxDsrFlow = (shake & SERIAL_DSR_HANDSHAKE) != 0;
    dcb.fDtrControl = shake & SERIAL_DTR_MASK;
    dcb.fDsrSensitivity = (shake & SERIAL_DSR_SENSITIVITY) != 0;
    dcb.fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
    dcb.fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
    dcb.fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
    dcb.fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
    dcb.fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
    dcb.fRtsControl = (replace & SERIAL_RTS_MASK) >> 6;
    dcb.fAbortOnError = (shake & SERIAL_ERROR_ABORT) != 0;
    dcb.XonLim = static_cast<WORD>(settings.Handflow.XonLimit);
    dcb.XoffLim = static_cast<WORD>(settings.Handflow.XoffLimit);
    dcb.ByteSize = settings.LineControl.WordLength;
    dcb.Parity = settings.LineControl.Parity;
    dcb.StopBits = settings.LineControl.StopBits;
    dcb.XonChar = static_cast<char>(settings.Chars.XonChar);
    dcb.XoffChar = static_cast<char>(settings.Chars.XoffChar);
    dcb.ErrorChar = static_cast<char>(settings.Chars.ErrorChar);
    dcb.EofChar = static_cast<char>(settings.Chars.EofChar);
    dcb.EvtChar = static_cast<char>(settings.Chars.EventChar);
    return dcb;
}

SerialSettings SettingsFromDcb(const DCB& dcb, const SerialSettings& current)
{
    SerialSettings settings = current;
    settings.BaudRate = dcb.BaudRate;
    settings.LineControl.StopBits = dcb.StopBits;
    settings.LineControl.Parity = dcb.Parity;
    settings.LineControl.WordLength = dcb.ByteSize;
    settings.Chars.XonChar = static_cast<BYTE>(dcb.XonChar);
    settings.Chars.XoffChar = static_cast<BYTE>(dcb.XoffChar);
    settings.Chars.ErrorChar = static_cast<BYTE>(dcb.ErrorChar);
    settings.Chars.EofChar = static_cast<BYTE>(dcb.EofChar);
    settings.Chars.EventChar = static_cast<BYTE>(dcb.EvtChar);

    DWORD shake = current.Handflow.ControlHandShake &
                  ~(SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE |
                    SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT);
    shake |= dcb.fDtrControl;
    shake |= dcb.fOutxCtsFlow ? SERIAL_CTS_HANDSHAKE : 0;
    shake |= dcb.fOutxDsrFlow ? SERIAL_DSR_HANDSHAKE : 0;
    shake |= dcb.fDsrSensitivity ? SERIAL_DSR_SENSITIVITY : 0;
    shake |= dcb.fAbortOnError ? SERIAL_ERROR_ABORT : 0;
    DWORD replace = current.Handflow.FlowReplace &
                    ~(SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR |
                      SERIAL_NULL_STRIPPING | SERIAL_RTS_MASK | SERIAL_XOFF_CONTINUE);
    replace |= dcb.fOutX ? SERIAL_AUTO_TRANSMIT : 0;
    replace |= dcb.fInX ? SERIAL_AUTO_RECEIVE : 0;
    replace |= dcb.fErrorChar ? SERIAL_ERROR_CHAR : 0;
    replace |= dcb.fNull ? SERIAL_NULL_STRIPPING : 0;
    replace |= static_cast<DWORD>(dcb.fRtsControl) << 6;
    replace |= dcb.fTXContinueOnXoff ? SERIAL_XOFF_CONTINUE : 0;
    settings.Handflow.ControlHandShake = shake;
    settings.Handflow.FlowReplace = replace;
    settings.Handflow.XonLimit = dcb.XonLim;
    settings.Handflow.XoffLimit = dcb.XoffLim;
    return settings;
}

DWORD CheckDcb(const DCB& dcb)
{
    // Windows leaves these to the driver; ours accepts them, so they are refused here, before
    // any request, the way Windows programs see them refused.
    if (dcb.XonChar == dcb.XoffChar) {
        return ERROR_INVALID_PARAMETER;
    }
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) {
        return ERROR_INVALID_PARAMETER;
    }
    if (dcb.ByteSize == 5 && dcb.StopBits == TWOSTOPBITS) {
        return ERROR_INVALID_PARAMETER;
    }
    if (dcb.ByteSize != 5 && dcb.StopBits == ONE5STOPBITS) {
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

DWORD CommErrorsFromStatus(DWORD errors)
{
    static const struct
    {
        DWORD Serial;
        DWORD Comm;
    } bits[] = {{SERIAL_ERROR_BREAK, CE_BREAK},
                {SERIAL_ERROR_FRAMING, CE_FRAME},
                {SERIAL_ERROR_OVERRUN, CE_OVERRUN},
                {SERIAL_ERROR_QUEUEOVERRUN, CE_RXOVER},
                {SERIAL_ERROR_PARITY, CE_RXPARITY}};
    DWORD comm = 0;
    for (const auto& bit : bits) {
        comm |= (errors & bit.Serial) != 0 ? bit.Comm : 0;
    }
    return comm;
}

COMSTAT ComstatFromStatus(const SerialStatus& status)
{
    COMSTAT stat;
    std::memset(&stat, 0, sizeof(stat));
    stat.fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
    stat.fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
    stat.fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
    stat.fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
    stat.fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    stat.fEof = status.EofReceived != 0;
    stat.fTxim = status.WaitForImmediate != 0;
    stat.cbInQue = status.AmountInInQueue;
    stat.cbOutQue = status.AmountInOutQueue;
    return stat;
}

namespace {

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool ParseNumber(const std::string& text, DWORD* value)
{
    if (text.empty() || text.size() > 9) {
        return false;
    }
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    *value = static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

// mode's baud rates: the first two digits stand for the rate.
bool ParseBaud(const std::string& text, DWORD* baud)
{
    static const struct
    {
        const char* Short;
        DWORD Rate;
    } abbreviations[] = {{"11", 110},   {"15", 150},   {"30", 300},  {"60", 600},
                         {"12", 1200},  {"24", 2400},  {"48", 4800}, {"96", 9600},
                         {"19", 19200}, {"38", 38400}, {"57", 57600}};
    for (const auto& entry : abbreviations) {
        if (text == entry.Short) {
            *baud = entry.Rate;
            return true;
        }
    }
    return ParseNumber(text, baud) && *baud != 0;
}

bool ParseParity(const std::string& text, BYTE* parity)
{
    static const char letters[] = "noems";
    if (text.size() != 1) {
        return false;
    }
    const char* found = std::strchr(letters, text[0]);
    if (found == nullptr || text[0] == '\0') {
        return false;
    }
    *parity = static_cast<BYTE>(found - letters);
    return true;
}

bool ParseStop(const std::string& text, BYTE* stop)
{
    if (text == "1") {
        *stop = ONESTOPBIT;
    } else if (text == "1.5") {
        *stop = ONE5STOPBITS;
    } else if (text == "2") {
        *stop = TWOSTOPBITS;
    } else {
        return false;
    }
    return true;
}

bool ParseData(const std::string& text, BYTE* bits)
{
    DWORD value = 0;
    if (!ParseNumber(text, &value) || value < 5 || value > 8) {
        return false;
    }
    *bits = static_cast<BYTE>(value);
    return true;
}

bool ParseOnOff(const std::string& text, bool* on)
{
    if (text == "on") {
        *on = true;
    } else if (text == "off") {
        *on = false;
    } else {
        return false;
    }
    return true;
}

std::vector<std::string> Split(const std::string& text, const char* separators)
{
    std::vector<std::string> parts;
    std::string current;
    for (const char c : text) {
        if (std::strchr(separators, c) != nullptr) {
            if (!current.empty()) {
                parts.push_back(current);
            }
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) {
        parts.push_back(current);
    }
    return parts;
}

// Old form: baud[,parity[,data[,stop[,x|p]]]].
bool ParseOldForm(const std::string& text, DCB* dcb)
{
    std::vector<std::string> fields;
    std::string current;
    for (const char c : text) {
        if (c == ',') {
            fields.push_back(current);
            current.clear();
        } else if (c != ' ') {
            current.push_back(c);
        }
    }
    fields.push_back(current);
    if (fields.size() > 5 || !ParseBaud(fields[0], &dcb->BaudRate)) {
        return false;
    }
    bool stopGiven = false;
    if (fields.size() > 1 && !fields[1].empty() && !ParseParity(fields[1], &dcb->Parity)) {
        return false;
    }
    if (fields.size() > 2 && !fields[2].empty() && !ParseData(fields[2], &dcb->ByteSize)) {
        return false;
    }
    if (fields.size() > 3 && !fields[3].empty()) {
        if (!ParseStop(fields[3], &dcb->StopBits)) {
            return false;
        }
        stopGiven = true;
    }
    if (!stopGiven) {
        dcb->StopBits = dcb->BaudRate == 110 ? TWOSTOPBITS : ONESTOPBIT;
    }
    dcb->fOutX = dcb->fInX = 0;
    dcb->fOutxCtsFlow = dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    if (fields.size() > 4) {
        if (fields[4] == "x") {
            dcb->fOutX = dcb->fInX = 1;
        } else if (fields[4] == "p") {
            dcb->fOutxCtsFlow = dcb->fOutxDsrFlow = 1;
            dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
            dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else if (!fields[4].empty()) {
            return false;
        }
    }
    return true;
}

bool ParseNewForm(const std::string& text, DCB* dcb, COMMTIMEOUTS* timeouts)
{
    bool stopGiven = false;
    bool flowOutX = false, flowInX = false, octs = false, odsr = false, idsr = false;
    DWORD dtr = DTR_CONTROL_ENABLE, rts = RTS_CONTROL_ENABLE;
    for (const std::string& item : Split(text, " \t")) {
        const size_t equals = item.find('=');
        if (equals == std::string::npos) {
            return false;
        }
        const std::string key = item.substr(0, equals);
        const std::string value = item.substr(equals + 1);
        bool on = false;
        if (key == "baud") {
            if (!ParseBaud(value, &dcb->BaudRate)) {
                return false;
            }
        } else if (key == "parity") {
            if (!ParseParity(value, &dcb->Parity)) {
                return false;
            }
        } else if (key == "data") {
            if (!ParseData(value, &dcb->ByteSize)) {
                return false;
            }
        } else if (key == "stop") {
            if (!ParseStop(value, &dcb->StopBits)) {
                return false;
            }
            stopGiven = true;
        } else if (key == "xon") {
            if (!ParseOnOff(value, &on)) {
                return false;
            }
            flowOutX = flowInX = on;
        } else if (key == "octs" || key == "odsr" || key == "idsr") {
            if (!ParseOnOff(value, &on)) {
                return false;
            }
            (key == "octs" ? octs : key == "odsr" ? odsr : idsr) = on;
        } else if (key == "dtr") {
            if (value == "hs") {
                dtr = DTR_CONTROL_HANDSHAKE;
            } else if (ParseOnOff(value, &on)) {
                dtr = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
            } else {
                return false;
            }
        } else if (key == "rts") {
            if (value == "hs") {
                rts = RTS_CONTROL_HANDSHAKE;
            } else if (value == "tg") {
                rts = RTS_CONTROL_TOGGLE;
            } else if (ParseOnOff(value, &on)) {
                rts = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
            } else {
                return false;
            }
        } else if (key == "to") {
            if (!ParseOnOff(value, &on)) {
                return false;
            }
            if (timeouts != nullptr) {
                std::memset(timeouts, 0, sizeof(*timeouts));
                timeouts->WriteTotalTimeoutConstant = on ? 60000 : 0;
            }
        } else {
            return false;
        }
    }
    if (!stopGiven && dcb->BaudRate == 110) {
        dcb->StopBits = TWOSTOPBITS;
    }
    dcb->fOutX = flowOutX;
    dcb->fInX = flowInX;
    dcb->fOutxCtsFlow = octs;
    dcb->fOutxDsrFlow = odsr;
    dcb->fDsrSensitivity = idsr;
    dcb->fDtrControl = dtr;
    dcb->fRtsControl = rts;
    return true;
}

} // namespace

bool ParseCommDefinition(const char* text, DCB* dcb, COMMTIMEOUTS* timeouts)
{
    std::string definition = Lower(text);
    // mode accepts the device in front: "COM1: baud=9600" or "COM1:96,n,8,1".
    if (definition.rfind("com", 0) == 0) {
        const size_t colon = definition.find(':');
        if (colon == std::string::npos) {
            return false;
        }
        definition = definition.substr(colon + 1);
    }
    while (!definition.empty() && std::isspace(static_cast<unsigned char>(definition[0]))) {
        definition.erase(0, 1);
    }
    if (definition.empty()) {
        return false;
    }
    DCB result = *dcb;
    const bool ok = definition.find('=') != std::string::npos
                        ? ParseNewForm(definition, &result, timeouts)
                        : ParseOldForm(definition, &result);
    if (!ok) {
        return false;
    }
    result.DCBlength = sizeof(DCB);
    result.fBinary = 1;
    result.fParity = result.Parity != NOPARITY;
    *dcb = result;
    return true;
}

} // namespace qvx::win32

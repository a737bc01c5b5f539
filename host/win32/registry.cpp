// Port enumeration: the registry calls over the machine's registry (read-only) and
// QueryDosDevice over its \?? links.
#include "host/win32/win32_internal.h"

#include <algorithm>
#include <cstring>
#include <map>

using namespace qvx::win32;

namespace {

struct Key
{
    std::u16string Path;
};

std::mutex keyLock;
std::map<uintptr_t, Key> keys; // under keyLock
uintptr_t nextKey = 0x1000;

std::u16string RootPath(HKEY root)
{
    if (root == HKEY_LOCAL_MACHINE) {
        return u"HKEY_LOCAL_MACHINE";
    }
    if (root == HKEY_USERS) {
        return u"HKEY_USERS";
    }
    std::lock_guard<std::mutex> guard(keyLock);
    auto it = keys.find(reinterpret_cast<uintptr_t>(root));
    return it == keys.end() ? std::u16string() : it->second.Path;
}

LSTATUS OpenKey(HKEY root, const std::u16string& subKey, PHKEY result)
{
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!MachineRunning()) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::u16string path = RootPath(root);
    if (path.empty()) {
        return ERROR_INVALID_HANDLE;
    }
    if (!subKey.empty()) {
        path += u"\\" + subKey;
    }
    if (!RegistryKeyExists(path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::lock_guard<std::mutex> guard(keyLock);
    const uintptr_t handle = nextKey;
    nextKey += 4;
    keys.emplace(handle, Key{path});
    *result = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

bool KeyPath(HKEY key, std::u16string* path)
{
    std::lock_guard<std::mutex> guard(keyLock);
    auto it = keys.find(reinterpret_cast<uintptr_t>(key));
    if (it == keys.end()) {
        return false;
    }
    *path = it->second.Path;
    return true;
}

// Registry and device names compare case-insensitively (ASCII is enough here).
bool SameName(const std::u16string& a, const std::u16string& b)
{
    auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [&](char16_t x, char16_t y) { return upper(x) == upper(y); });
}

bool IsString(uint32_t type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// String data in the caller's character set: UTF-16 stays, the A calls get one byte a
// character.
std::vector<uint8_t> ValueData(const RegistryValue& value, bool wide)
{
    if (wide || !IsString(value.Type)) {
        return value.Data;
    }
    std::vector<uint8_t> narrow;
    for (size_t i = 0; i + 1 < value.Data.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(value.Data[i] | (value.Data[i + 1] << 8));
        narrow.push_back(c < 0x100 ? static_cast<uint8_t>(c) : '?');
    }
    return narrow;
}

// Copies a value's data out as RegQueryValueEx and RegEnumValue do.
LSTATUS CopyData(const RegistryValue& value, bool wide, LPDWORD type, LPBYTE data, LPDWORD dataSize)
{
    if (type != nullptr) {
        *type = value.Type;
    }
    const std::vector<uint8_t> bytes = ValueData(value, wide);
    if (dataSize == nullptr) {
        return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    }
    const DWORD available = *dataSize;
    *dataSize = static_cast<DWORD>(bytes.size());
    if (data == nullptr) {
        return ERROR_SUCCESS;
    }
    if (bytes.size() > available) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}

template <class Char>
LSTATUS EnumValue(HKEY key, DWORD index, Char* name, LPDWORD nameLength, LPDWORD type, LPBYTE data,
                  LPDWORD dataSize, bool wide)
{
    std::u16string path;
    if (!KeyPath(key, &path)) {
        return ERROR_INVALID_HANDLE;
    }
    if (name == nullptr || nameLength == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::vector<RegistryValue> values = RegistryValues(path);
    if (index >= values.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const RegistryValue& value = values[index];
    // The name needs room for its terminating NUL; the length returned leaves it out.
    if (value.Name.size() + 1 > *nameLength) {
        return ERROR_MORE_DATA;
    }
    for (size_t i = 0; i < value.Name.size(); ++i) {
        const char16_t c = value.Name[i];
        name[i] = static_cast<Char>(sizeof(Char) == 1 && c >= 0x100 ? u'?' : c);
    }
    name[value.Name.size()] = 0;
    *nameLength = static_cast<DWORD>(value.Name.size());
    return CopyData(value, wide, type, data, dataSize);
}

LSTATUS QueryValue(HKEY key, const std::u16string& name, LPDWORD type, LPBYTE data,
                   LPDWORD dataSize, bool wide)
{
    std::u16string path;
    if (!KeyPath(key, &path)) {
        return ERROR_INVALID_HANDLE;
    }
    for (const RegistryValue& value : RegistryValues(path)) {
        if (SameName(value.Name, name)) {
            return CopyData(value, wide, type, data, dataSize);
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

// QueryDosDevice's result: one name's target, or every name, as a double-NUL list.
std::u16string DosDeviceList(const std::u16string* name, bool* found)
{
    std::u16string list;
    *found = false;
    for (const auto& [device, target] : DosDevices()) {
        if (name == nullptr) {
            list += device;
            list.push_back(0);
            *found = true;
        } else if (SameName(device, *name)) {
            list = target;
            list.push_back(0);
            *found = true;
            break;
        }
    }
    list.push_back(0);
    return list;
}

template <class Char> DWORD QueryDos(const std::u16string* name, Char* target, DWORD size)
{
    if (!MachineRunning()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    bool found = false;
    const std::u16string list = DosDeviceList(name, &found);
    if (!found) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (target == nullptr || list.size() > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (size_t i = 0; i < list.size(); ++i) {
        target[i] = static_cast<Char>(sizeof(Char) == 1 && list[i] >= 0x100 ? u'?' : list[i]);
    }
    return static_cast<DWORD>(list.size());
}

} // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult)
{
    return OpenKey(hKey, lpSubKey != nullptr ? Widen(lpSubKey) : std::u16string(), phkResult);
}

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult)
{
    return OpenKey(hKey, lpSubKey != nullptr ? std::u16string(lpSubKey) : std::u16string(),
                   phkResult);
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    return EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData, false);
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    return EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData, true);
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData)
{
    return QueryValue(hKey, lpValueName != nullptr ? Widen(lpValueName) : std::u16string(), lpType,
                      lpData, lpcbData, false);
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData)
{
    return QueryValue(hKey, lpValueName != nullptr ? std::u16string(lpValueName) : u"", lpType,
                      lpData, lpcbData, true);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    std::lock_guard<std::mutex> guard(keyLock);
    return keys.erase(reinterpret_cast<uintptr_t>(hKey)) != 0 ? ERROR_SUCCESS
                                                              : ERROR_INVALID_HANDLE;
}

DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax)
{
    if (lpDeviceName == nullptr) {
        return QueryDos<char>(nullptr, lpTargetPath, ucchMax);
    }
    const std::u16string name = Widen(lpDeviceName);
    return QueryDos<char>(&name, lpTargetPath, ucchMax);
}

DWORD WINAPI QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax)
{
    if (lpDeviceName == nullptr) {
        return QueryDos<char16_t>(nullptr, lpTargetPath, ucchMax);
    }
    const std::u16string name = lpDeviceName;
    return QueryDos<char16_t>(&name, lpTargetPath, ucchMax);
}

} // extern "C"

// ZwQueryValueKey: the value records laid out byte for byte as the x86
// configuration manager lays them out, with its rules for short buffers. A
// driver that reads the data at a fixed offset instead of DataOffset, or that
// trusts a truncated record, reads garbage here exactly as it would there.
//
// The rules, per class (fixed part F, name N bytes, data D bytes):
//  - Length < F: STATUS_BUFFER_TOO_SMALL, nothing written.
//  - otherwise the fixed part is written; the name is copied as far as it
//    fits, and a truncated name is STATUS_BUFFER_OVERFLOW (the data is then
//    not touched: DataOffset stays unwritten);
//  - the data is copied as far as it fits; truncated: STATUS_BUFFER_OVERFLOW.
// ResultLength is always the length the whole record needs. In the full
// record the data starts at F + N rounded up to 4 bytes; a value without data
// has DataOffset 0xFFFFFFFF.
#include "platform/sim/ob_internal.h"

#include <cstring>

namespace sim {
namespace {

constexpr ULONG kBasicFixed = 12;   // TitleIndex, Type, NameLength
constexpr ULONG kFullFixed = 20;    // TitleIndex, Type, DataOffset, DataLength, NameLength
constexpr ULONG kPartialFixed = 12; // TitleIndex, Type, DataLength

static_assert(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) == kFullFixed);
static_assert(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) == kPartialFixed);

void Put32(uint8_t* out, ULONG offset, ULONG value) {
    std::memcpy(out + offset, &value, 4);
}

// Copies as much of `bytes` as fits in `room`; false when truncated.
bool CopyClipped(uint8_t* out, ULONG offset, ULONG room, const void* bytes, ULONG length) {
    const ULONG n = length < room ? length : room;
    if (n != 0)
        std::memcpy(out + offset, bytes, n);
    return n == length;
}

// One value as the three record classes see it.
struct Value {
    ULONG type;
    const std::u16string& name;
    const std::vector<uint8_t>& data;
    ULONG NameBytes() const { return static_cast<ULONG>(name.size() * sizeof(char16_t)); }
    ULONG DataBytes() const { return static_cast<ULONG>(data.size()); }
};

// The basic and the partial record are alike: title index, type, the
// length of what follows, then the name (basic) or the data (partial).
NTSTATUS ShortRecord(const Value& v, ULONG fixed, const void* tail, ULONG tailBytes, uint8_t* out,
                     ULONG length, PULONG resultLength) {
    *resultLength = fixed + tailBytes;
    if (length < fixed)
        return STATUS_BUFFER_TOO_SMALL;
    Put32(out, 0, 0);
    Put32(out, 4, v.type);
    Put32(out, 8, tailBytes);
    if (!CopyClipped(out, fixed, length - fixed, tail, tailBytes))
        return STATUS_BUFFER_OVERFLOW;
    return STATUS_SUCCESS;
}

// The one record with both name and data: the data is 4-byte aligned after
// the name, and is not touched when the name did not fit.
NTSTATUS FullRecord(const Value& v, uint8_t* out, ULONG length, PULONG resultLength) {
    const ULONG nameBytes = v.NameBytes();
    const ULONG dataBytes = v.DataBytes();
    ULONG required = kFullFixed + nameBytes + dataBytes;
    ULONG offset = 0;
    if (dataBytes != 0) {
        const ULONG base = kFullFixed + nameBytes;
        offset = (base + 3) & ~3u;
        required += offset - base;
    }
    *resultLength = required;
    if (length < kFullFixed)
        return STATUS_BUFFER_TOO_SMALL;
    Put32(out, 0, 0);
    Put32(out, 4, v.type);
    Put32(out, 12, dataBytes);
    Put32(out, 16, nameBytes);
    if (!CopyClipped(out, kFullFixed, length - kFullFixed, v.name.data(), nameBytes))
        return STATUS_BUFFER_OVERFLOW;
    if (dataBytes == 0) {
        Put32(out, 8, 0xFFFFFFFFu);
        return STATUS_SUCCESS;
    }
    Put32(out, 8, offset);
    const ULONG room = length > offset ? length - offset : 0;
    if (!CopyClipped(out, offset, room, v.data.data(), dataBytes))
        return STATUS_BUFFER_OVERFLOW;
    return STATUS_SUCCESS;
}

} // namespace
} // namespace sim

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length,
                                          PULONG ResultLength) {
    using namespace sim;
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    const auto name = ObCapture(ValueName, "ZwQueryValueKey");
    if (ResultLength == nullptr)
        BugCheck(kDriverVerifierDetectedViolation, kC4NullResultPointer, 0, 0, 0,
                 "ZwQueryValueKey: NULL ResultLength");
    if (KeyValueInformation == nullptr && Length != 0)
        BugCheck(kDriverVerifierDetectedViolation, kC4NullResultPointer, 0, Length, 0,
                 "ZwQueryValueKey: NULL buffer with a nonzero Length");
    const int cls = static_cast<int>(KeyValueInformationClass);
    if (cls == 3 || cls == 4) // the Align64 variants
        NotModelled("ZwQueryValueKey: KeyValueFullInformationAlign64 and "
                    "KeyValuePartialInformationAlign64 are not modelled");
    if (cls < 0 || cls > 2)
        return STATUS_INVALID_PARAMETER;

    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
    const NTSTATUS found = RegReadByHandle(KeyHandle, name, &type, &data);
    if (!NT_SUCCESS(found))
        return found;
    const Value value{type, name, data};
    auto* out = static_cast<uint8_t*>(KeyValueInformation);
    switch (KeyValueInformationClass) {
    case KeyValueBasicInformation:
        return ShortRecord(value, kBasicFixed, value.name.data(), value.NameBytes(), out, Length,
                           ResultLength);
    case KeyValueFullInformation:
        return FullRecord(value, out, Length, ResultLength);
    case KeyValuePartialInformation:
        return ShortRecord(value, kPartialFixed, value.data.data(), value.DataBytes(), out, Length,
                           ResultLength);
    }
    return STATUS_INVALID_PARAMETER;
}

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

    auto* out = static_cast<uint8_t*>(KeyValueInformation);
    const auto nameBytes = static_cast<ULONG>(name.size() * sizeof(char16_t));
    const auto dataBytes = static_cast<ULONG>(data.size());
    NTSTATUS status = STATUS_SUCCESS;

    switch (KeyValueInformationClass) {
    case KeyValueBasicInformation:
        *ResultLength = kBasicFixed + nameBytes;
        if (Length < kBasicFixed)
            return STATUS_BUFFER_TOO_SMALL;
        Put32(out, 0, 0);
        Put32(out, 4, type);
        Put32(out, 8, nameBytes);
        if (!CopyClipped(out, kBasicFixed, Length - kBasicFixed, name.data(), nameBytes))
            status = STATUS_BUFFER_OVERFLOW;
        return status;

    case KeyValueFullInformation: {
        ULONG required = kFullFixed + nameBytes + dataBytes;
        ULONG offset = 0;
        if (dataBytes != 0) {
            const ULONG base = kFullFixed + nameBytes;
            offset = (base + 3) & ~3u;
            required += offset - base;
        }
        *ResultLength = required;
        if (Length < kFullFixed)
            return STATUS_BUFFER_TOO_SMALL;
        Put32(out, 0, 0);
        Put32(out, 4, type);
        Put32(out, 12, dataBytes);
        Put32(out, 16, nameBytes);
        if (!CopyClipped(out, kFullFixed, Length - kFullFixed, name.data(), nameBytes))
            return STATUS_BUFFER_OVERFLOW;
        if (dataBytes == 0) {
            Put32(out, 8, 0xFFFFFFFFu);
            return STATUS_SUCCESS;
        }
        Put32(out, 8, offset);
        const ULONG room = Length > offset ? Length - offset : 0;
        if (!CopyClipped(out, offset, room, data.data(), dataBytes))
            status = STATUS_BUFFER_OVERFLOW;
        return status;
    }

    case KeyValuePartialInformation:
        *ResultLength = kPartialFixed + dataBytes;
        if (Length < kPartialFixed)
            return STATUS_BUFFER_TOO_SMALL;
        Put32(out, 0, 0);
        Put32(out, 4, type);
        Put32(out, 8, dataBytes);
        if (!CopyClipped(out, kPartialFixed, Length - kPartialFixed, data.data(), dataBytes))
            status = STATUS_BUFFER_OVERFLOW;
        return status;
    }
    return STATUS_INVALID_PARAMETER;
}

#pragma once
// Checks across the DeviceFile: a document that does not parse, elements
// the gateway never finds, meters that shadow each other, Objects that
// belong to no meter, telegrams too long for one RSP_UD, and TelegramNr
// that do not do what they say.
#include <cstddef>

#include "checks/elements.h"

namespace kestrel {

void CheckDocumentShape(const CheckedFile& file);
void CheckDuplicateMeters(const CheckedFile& file);
void CheckObjectOwners(const CheckedFile& file);
void CheckTelegramLength(const CheckedFile& file, size_t meter);
void CheckTelegramNumbers(const CheckedFile& file, size_t meter);

}  // namespace kestrel

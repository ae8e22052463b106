#include "checks/document_checks.h"

#include <strings.h>

#include "checks/record_layout.h"
#include "links/meter_requests.h"
#include "mbus/rsp_ud.h"

namespace kestrel {
namespace {

constexpr const char* kDeviceId = "DeviceId";

bool IsMeterElement(const std::string& name) { return name == "Device" || name == "Object"; }

// The first earlier Device whose attribute has the same text, or -1.
int EarlierWithSame(const CheckedFile& file, size_t meter, const char* name) {
  const WrittenElement& device = file.written.devices[meter];
  for (size_t other = 0; other < meter; ++other) {
    const WrittenElement& earlier = file.written.devices[other];
    if (earlier.Has(name) && earlier.Text(name) == device.Text(name)) return static_cast<int>(other);
  }
  return -1;
}

bool OwnedByADevice(const CheckedFile& file, const std::string& deviceId) {
  for (const WrittenElement& device : file.written.devices) {
    if (device.Has(kDeviceId) && device.Text(kDeviceId) == deviceId) return true;
  }
  return false;
}

int DeviceWithIdIgnoringCase(const CheckedFile& file, const std::string& deviceId) {
  for (size_t meter = 0; meter < file.written.devices.size(); ++meter) {
    if (strcasecmp(file.written.devices[meter].Text(kDeviceId).c_str(), deviceId.c_str()) == 0) {
      return static_cast<int>(meter);
    }
  }
  return -1;
}

// " telegram 2 (TelegramNr 3)" when the meter answers in several, else "".
std::string TelegramPlace(const Meter& meter, int telegram, int count) {
  if (count <= 1) return "";
  return " telegram " + std::to_string(telegram + 1) + " (TelegramNr " +
         std::to_string(meter.telegramNrs[static_cast<size_t>(telegram)]) + ")";
}

std::string NumberList(const std::vector<uint8_t>& numbers) {
  std::string list;
  for (uint8_t number : numbers) list += (list.empty() ? "" : ", ") + std::to_string(number);
  return list;
}

}  // namespace

void CheckDocumentShape(const CheckedFile& file) {
  if (!file.model.parsed) {
    AddError(file.report, file.path, "document", "does not parse as XML: the gateway has no meters");
    return;
  }
  // Searches start below the top node: without an XML declaration the first
  // element is that node, and a Device or Object there is never found.
  if (IsMeterElement(file.written.topElement)) {
    AddError(file.report, file.path, "top element <" + file.written.topElement + ">",
             "is never found: start the file with <?xml version=\"1.0\"?> or wrap it in another "
             "element");
  }
  if (file.model.meters.empty()) {
    AddWarning(file.report, file.path, "document", "holds no Device: the gateway answers no meter");
  }
}

void CheckDuplicateMeters(const CheckedFile& file) {
  for (size_t meter = 0; meter < file.model.meters.size(); ++meter) {
    const WrittenElement& device = file.written.devices[meter];
    const uint8_t address = file.model.meters[meter].primaryAddress;
    const int first = file.model.firstAtAddress[address];
    if (device.Has("PrimaryAddress") && first != static_cast<int>(meter)) {
      AddError(file.report, file.path,
               DescribeDevice(file, meter) + " " + DescribeAttribute(device, "PrimaryAddress"),
               "primary address " + std::to_string(address) + " is " +
                   DescribeDevice(file, static_cast<size_t>(first)) + "'s already: this meter is never read by it");
    }
    const int sameId = EarlierWithSame(file, meter, "IdNumber");
    if (sameId >= 0) {
      AddError(file.report, file.path, DescribeDevice(file, meter) + " " + DescribeAttribute(device, "IdNumber"),
               "also the IdNumber of " + DescribeDevice(file, static_cast<size_t>(sameId)) +
                   ": selection by secondary address always finds that one");
    }
  }
}

void CheckObjectOwners(const CheckedFile& file) {
  for (size_t record = 0; record < file.written.objects.size(); ++record) {
    const WrittenElement& object = file.written.objects[record];
    if (!object.Has(kDeviceId)) continue;  // reported as missing
    const std::string deviceId = object.Text(kDeviceId);
    if (OwnedByADevice(file, deviceId)) continue;
    const std::string where = DescribeObject(file, record) + " " + DescribeAttribute(object, kDeviceId);
    const int nearly = DeviceWithIdIgnoringCase(file, deviceId);
    if (nearly >= 0) {
      AddError(file.report, file.path, where,
               "differs from " + DescribeDevice(file, static_cast<size_t>(nearly)) +
                   " only in letter case: DeviceIds must match exactly, the record is never sent");
    } else {
      AddWarning(file.report, file.path, where, "matches no Device: the record is never sent");
    }
  }
}

void CheckTelegramLength(const CheckedFile& file, size_t meter) {
  const Meter& checked = file.model.meters[meter];
  const int count = TelegramCount(checked, file.multiTelegram);
  for (int telegram = 0; telegram < count; ++telegram) {
    const int total = TelegramRecordBytes(file.model, checked, telegram, count);
    if (total <= kMaxRecordBytes) continue;
    const bool closed = telegram < count - 1;
    AddError(file.report, file.path, DescribeDevice(file, meter) + TelegramPlace(checked, telegram, count),
             "its records take " + std::to_string(total) + " bytes" + (closed ? " with the closing DIF 1Fh" : "") +
                 ", more than the " + std::to_string(kMaxRecordBytes) + " of one RSP_UD: the meter cannot answer");
  }
}

void CheckTelegramNumbers(const CheckedFile& file, size_t meter) {
  const std::vector<uint8_t>& numbers = file.model.meters[meter].telegramNrs;
  if (numbers.empty() || numbers.back() == kFirstTelegramNr) return;
  if (!file.multiTelegram) {
    AddWarning(file.report, file.path, DescribeDevice(file, meter),
               "its Objects name TelegramNr " + NumberList(numbers) +
                   ", but [MBusPort] multi_telegram is off: all its records go into one telegram");
  } else if (numbers.size() > 1 && numbers.back() != numbers.size()) {
    AddWarning(file.report, file.path, DescribeDevice(file, meter),
               "its Objects name TelegramNr " + NumberList(numbers) + ": the master gets them as telegrams 1 to " +
                   std::to_string(numbers.size()) + ", in this order");
  }
}

}  // namespace kestrel

#include "Devices.h"

#include "spooler/LastError.h"

namespace quill::printui {

std::optional<std::vector<Device>> FindDevices(const PrinterAddress& address, std::string& error,
                                               const std::vector<std::string>& excludeSchemes) {
    const auto connection = Connect(address, error);
    if (!connection) return std::nullopt;
    ipp_t* request = spooler::NewRequest(IPP_OP_CUPS_GET_DEVICES);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "timeout", kDeviceSearchSeconds);
    if (!excludeSchemes.empty()) {
        std::vector<const char*> schemes;
        for (const std::string& s : excludeSchemes) schemes.push_back(s.c_str());
        ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "exclude-schemes", static_cast<int>(schemes.size()),
                      nullptr, schemes.data());
    }
    const Ipp answer = connection->AskForList(request);
    if (!answer) {
        error = spooler::LastFailure().reason;
        return std::nullopt;
    }
    std::vector<Device> devices;
    Device device;
    spooler::ForEachObject(
        answer.get(), IPP_TAG_PRINTER,
        [&](const std::string& name, ipp_attribute_t* attr) {
            if (name == "device-uri") device.uri = spooler::TextOf(attr);
            else if (name == "device-info") device.info = spooler::TextOf(attr);
            else if (name == "device-make-and-model") device.makeAndModel = spooler::TextOf(attr);
            else if (name == "device-class") device.deviceClass = spooler::TextOf(attr);
        },
        [&] {
            if (!device.uri.empty()) devices.push_back(device);
            device = Device();
        });
    return devices;
}

} // namespace quill::printui

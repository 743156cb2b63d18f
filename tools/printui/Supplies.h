#pragma once

#include "PrinterProperties.h"

#include <optional>
#include <string>
#include <vector>

namespace quill::printui {

// The supplies an IPP printer reports as printer-supply values
// ("index=1;class=supplyThatIsConsumed;type=toner;unit=percent;maxcapacity=100;level=40;
// colorantname=cyan;") with printer-supply-description at the same position: named by the
// description, the level in percent of the capacity (-1 when unknown), the colour as
// "#RRGGBB" for the colorants with a usual colour ("none" otherwise), the type as
// marker-types writes it ("wasteToner" becomes "waste-toner"). Values that are not such
// lists give what can be read of them.
std::vector<Marker> MarkersFromSupplies(const std::vector<std::string>& supplies,
                                        const std::vector<std::string>& descriptions);

// The supplies the IPP device (ipp or ipps) reports itself: its marker-* attributes, or
// else its printer-supply; nullopt with the reason when it cannot be asked.
std::optional<std::vector<Marker>> ReadDeviceSupplies(const std::string& deviceUri, std::string& error);

} // namespace quill::printui

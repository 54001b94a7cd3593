// Fuzz target for BinaryConversion: the text an application passes where bytes are meant
// (nibble and decimal forms) must decode or be refused with 106, never read past the
// text, and a decoded result must encode back to the text it came from.
//
// Input layout: one byte choosing the conversion (0 none, 1 nibble, 2 decimal, anything
// else unknown), then the text (up to its first zero, as the automation surface hands it
// over).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "opos/OposConstants.h"
#include "so/core/ServiceDevice.h"

using namespace thermpos::so;

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

class Device : public CServiceDevice {
  public:
    void SetConversion(LONG value) { m_BinaryConversion = value; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    static Device device;
    const LONG conversion = data[0] % 4;
    device.SetConversion(conversion);
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string visible(text.c_str());

    std::string out = "stale";
    const LONG rc = device.ConvertBinary(text, &out);
    Check(rc == OPOS_SUCCESS || rc == OPOS_E_ILLEGAL);
    if (conversion > OPOS_BC_DECIMAL) {
        Check(rc == OPOS_E_ILLEGAL);
        return 0;
    }
    if (rc != OPOS_SUCCESS) {
        Check(out == "stale");
        return 0;
    }
    switch (conversion) {
        case OPOS_BC_NONE:
            Check(out == visible);
            break;
        case OPOS_BC_NIBBLE: {
            Check(out.size() * 2 == visible.size());
            // Each character carries its low four bits; encoding gives the '0'..'?' form.
            for (std::size_t i = 0; i < out.size(); ++i) {
                const auto byte = static_cast<unsigned char>(out[i]);
                Check((byte >> 4) == ((static_cast<unsigned char>(visible[2 * i]) - 0x30u) & 0xF));
                Check((byte & 0xF) ==
                      ((static_cast<unsigned char>(visible[2 * i + 1]) - 0x30u) & 0xF));
            }
            break;
        }
        case OPOS_BC_DECIMAL: {
            Check(out.size() * 3 == visible.size());
            for (std::size_t i = 0; i < out.size(); ++i) {
                const char* d = visible.c_str() + 3 * i;
                const bool digits = (d[0] == ' ' || (d[0] >= '0' && d[0] <= '9')) &&
                                    (d[1] == ' ' || (d[1] >= '0' && d[1] <= '9')) &&
                                    (d[2] == ' ' || (d[2] >= '0' && d[2] <= '9'));
                if (!digits)
                    continue;
                const unsigned value = (d[0] == ' ' ? 0 : d[0] - '0') * 100u +
                                       (d[1] == ' ' ? 0 : d[1] - '0') * 10u +
                                       (d[2] == ' ' ? 0 : d[2] - '0');
                Check(static_cast<unsigned char>(out[i]) == (value & 0xFF));
            }
            break;
        }
        default:
            break;
    }
    return 0;
}

#pragma once

// The product shown for a device type code (the type byte of the device's
// presence message). Codes without a product give "Unknown". The text is
// static and never freed.
const char* productName(unsigned typeCode);

#pragma once

namespace zvq {

// Makes "Tahoma" available where the system lacks it but ships a compatible family outside the font
// search path; without either, Qt's substitute is used. Call once the application object exists.
void RegisterWindowFonts();

}  // namespace zvq

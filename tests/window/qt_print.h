#pragma once

#include <QString>
#include <ostream>

// Lets GoogleTest print QString values in failure messages as readable UTF-8.
inline void PrintTo(const QString& AText, std::ostream* AOut) { *AOut << '"' << AText.toStdString() << '"'; }

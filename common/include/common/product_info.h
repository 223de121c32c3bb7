#pragma once

// Where the programs' help texts send bug reports; the same in every program.
namespace product_info {
inline constexpr char kSupportAddress[] = "support@dover-or-04.ru";
}  // namespace product_info

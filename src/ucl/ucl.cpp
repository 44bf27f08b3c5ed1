// Placeholder until the reader lands.
namespace ucl {}

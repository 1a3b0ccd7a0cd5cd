// Placeholder so the library has a translation unit until the encoder lands.
namespace vela {}

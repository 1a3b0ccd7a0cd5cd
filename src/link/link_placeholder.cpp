// Placeholder so the library has a translation unit until the link code lands.
namespace vela {}

// Placeholder so the library has a translation unit until the modem code lands.
namespace vela {}

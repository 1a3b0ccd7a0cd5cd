// Placeholder so the library has a translation unit until MainDialog lands.
namespace vela {}

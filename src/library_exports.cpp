// The product library is the core plus the two host bindings; the bindings'
// entry points are the only symbols it exports (see cmake/exports.map). This
// file holds nothing else: it anchors the target when a binding is built alone.

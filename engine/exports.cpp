// The shared library's only translation unit of its own: everything else comes from
// the engine archive, linked whole, and the version script keeps all but CreateObject
// out of the dynamic symbol table.

// The four entry functions of the plug-in library. They live in the SDK
// helper library and the plug-in; this unit only makes sure they are linked.

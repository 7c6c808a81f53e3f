"""kestrel-arena: round-robin tournaments between kestrel bots."""

"""What the testing kit raises when it cannot do what was asked; each says
what went wrong in words a bot's author can act on."""

from __future__ import annotations


class KitError(Exception):
    """Base of the kit's own errors."""


class ServerNotFound(KitError):
    """No kestrel-server binary: neither $KESTREL_SERVER, nor one in
    $KESTREL_BUILD_DIR, beside this Python or on PATH."""


class ServerFailed(KitError):
    """kestrel-server was found but did not start; the message holds what it
    wrote on standard error."""


class BotLoadError(KitError):
    """A bot file that cannot be loaded, or a class that is no bot."""

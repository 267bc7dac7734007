"""Why a set cannot be opened, as parvane-export refuses the same set."""


class SetError(Exception):
    """A set refused: ``filename`` names the file concerned, ``reason`` says
    why, in the words parvane-export prints."""

    def __init__(self, filename, reason):
        super().__init__(filename, reason)
        self.filename = filename
        self.reason = reason

    def __str__(self):
        return f"{self.filename}: {self.reason}" if self.filename else self.reason


class ShortSourceError(SetError):
    """A source holds fewer bytes than the set needs (``allow_short=True``
    opens such a set, its missing samples NaN)."""


class NoImageError(SetError):
    """The record gives an image size of 0 or less."""


class NotFiniteError(SetError):
    """A scale, the field size or a bias sweep of the set is not finite."""

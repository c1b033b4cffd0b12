"""orvane: the orvane.kestrix training core and its validation package."""

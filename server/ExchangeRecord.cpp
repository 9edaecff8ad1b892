// Placeholder; the exchange record lands with the server link.

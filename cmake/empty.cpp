// An empty unit: each library gets its objects from its area object libraries.

namespace zvq {}
